#include "settings/AppSettings.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

#include <atomic>
#include <cmath>
#include <cstring>
#include <limits>

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

class AppSettingsTest final : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    QString path(const char *name) const { return m_dir.filePath(QString::fromLatin1(name)); }

    static void writeFile(const QString &file, const QByteArray &contents)
    {
        QFile f(file);
        QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        f.write(contents);
    }

private Q_SLOTS:
    void valuesRoundTripExactlyAcrossInstances()
    {
        const QString file = path("roundtrip.conf");
        const double awkward = 0.1 + 0.2; // not representable in a short decimal
        const double tiny = std::nextafter(18.0, 19.0);
        {
            AppSettings settings(file);
            settings.setFontSize(tiny);
            settings.setBackgroundOpacity(awkward);
            settings.setDarkMode(false);
            settings.setSelectedLanguage(QStringLiteral("xx-Unknown")); // not in the table: kept as is
            settings.setAudioSource(AudioSource::application(QStringLiteral("Firefox: Web, \u00e9")));
        }
        AppSettings again(file);
        const double fontSize = again.fontSize();
        QVERIFY(std::memcmp(&tiny, &fontSize, sizeof(double)) == 0);
        const double opacity = again.backgroundOpacity();
        QVERIFY(std::memcmp(&awkward, &opacity, sizeof(double)) == 0);
        QCOMPARE(again.darkMode(), false);
        QCOMPARE(again.selectedLanguage(), QStringLiteral("xx-Unknown"));
        QCOMPARE(again.audioSource(), AudioSource::application(QStringLiteral("Firefox: Web, \u00e9")));
    }

    // Any program names itself to the sound server. Its name, made printable, is stored and read back as
    // that application (a name with a control character would read back as the whole mix), and shows no
    // control character, line break or tab.
    void printableNamesRoundTrip_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("shown");
        QTest::newRow("plain") << QStringLiteral("Firefox: Web, \u00e9 \U0001F468\u200D\U0001F4BB")
                               << QStringLiteral("Firefox: Web, \u00e9 \U0001F468\u200D\U0001F4BB");
        QTest::newRow("escape codes") << QStringLiteral("Ghost\x1b[31m\x1b]0;pwned\x07\x7f")
                                      << QStringLiteral("Ghost\u241b[31m\u241b]0;pwned\u2407\u2421");
        QTest::newRow("a forged column and line") << QStringLiteral("Ghost\tapp:Forged\r\nsystem")
                                                  << QStringLiteral("Ghost\u2409app:Forged\u240d\u240asystem");
        QTest::newRow("C1 controls and separators") << QStringLiteral("Ghost\u009b31m\u0085\u2028\u2029!")
                                                    << QStringLiteral("Ghost\ufffd31m\ufffd\ufffd\ufffd!");
        QTest::newRow("NUL") << QString::fromUtf16(u"a\0b", 3) << QStringLiteral("a\u2400b");
    }
    void printableNamesRoundTrip()
    {
        QFETCH(QString, name);
        QTEST(AudioSource::printable(name), "shown");
        const AudioSource chosen = AudioSource::application(AudioSource::printable(name));
        QVERIFY(chosen.roundTrips());
        const QString file = path("printable.conf");
        AppSettings(file).setAudioSource(chosen);
        QCOMPARE(AppSettings(file).audioSource(), chosen);
    }

    void everySetNotifiesOnceBeforeStoring()
    {
        AppSettings settings(path("notify.conf"));
        QList<double> seenInsideNotification;
        int notifications = 0;
        auto token = settings.objectWillChange.subscribe([&] {
            ++notifications;
            seenInsideNotification << settings.fontSize();
        });
        settings.setFontSize(24);
        settings.setFontSize(24); // equal value: still one notification and a store
        settings.setBackgroundOpacity(0.3);
        settings.setDarkMode(true);
        settings.setSelectedLanguage(QStringLiteral("fr-FR"));
        QCOMPARE(notifications, 5);
        QCOMPARE(seenInsideNotification.mid(0, 2), QList<double>({ 18.0, 24.0 })); // the old value
        QCOMPARE(settings.fontSize(), 24.0);
        QCOMPARE(settings.selectedLanguage(), QStringLiteral("fr-FR"));
    }

    // Sizes that cannot be drawn are neither stored nor read back: a run of quick Ctrl + wheel notches once
    // stored 3228, and the next notches down showed nothing.
    void fontSizeKeptToWhatCanBeDrawn_data()
    {
        QTest::addColumn<QByteArray>("stored");
        QTest::addColumn<double>("set"); // 0: nothing set
        QTest::addColumn<double>("read");
        QTest::newRow("stored far too large") << QByteArray("3228") << 0.0 << 200.0;
        QTest::newRow("stored too small") << QByteArray("0.61") << 0.0 << 6.0;
        QTest::newRow("set far too large") << QByteArray() << 3228.0 << 200.0;
        QTest::newRow("set too small") << QByteArray() << 0.61 << 6.0;
    }
    void fontSizeKeptToWhatCanBeDrawn()
    {
        QFETCH(QByteArray, stored);
        QFETCH(double, set);
        QFETCH(double, read);
        // A file of its own for each row: QSettings caches a file it has read and can miss a rewrite of the same
        // size within the same second.
        const QString file = path(QTest::currentDataTag());
        writeFile(file, "[General]\nfontSize=" + stored + "\n");
        {
            AppSettings settings(file);
            if (set != 0)
                settings.setFontSize(set);
            QCOMPARE(settings.fontSize(), read);
        }
        if (set != 0)
            QCOMPARE(QSettings(file, QSettings::NativeFormat).value(AppSettings::fontSizeKey).toDouble(), read);
    }

    void damagedValuesReadAsDefaults_data()
    {
        QTest::addColumn<QByteArray>("contents");
        QTest::newRow("no file yet") << QByteArray(); // read without writing one
        QTest::newRow("wrong types") << QByteArray("[General]\nfontSize=large\nbackgroundOpacity=@ByteArray(xyz)\n"
                                                   "darkMode=maybe\nselectedLanguage=a, b\naudioSource=app:\n");
        QTest::newRow("not finite") << QByteArray("[General]\nfontSize=nan\nbackgroundOpacity=inf\n"
                                                  "darkMode=\nselectedLanguage=@Variant(\\0\\0\\0\\x7f\\0)\n"
                                                  "audioSource=input:"
            + QByteArray(600, 'm') + "\n");
        QTest::newRow("negative infinity and garbage bytes")
            << QByteArray("[General]\nfontSize=-inf\nbackgroundOpacity=1e999\n\xff\xfe=1\naudioSource=microphone\n");
        QTest::newRow("source name with a control character") << QByteArray("[General]\naudioSource=app:a\\x1b[2Jb\n");
        QTest::newRow("not a settings file") << QByteArray("\x00\x01\x02 binary \xff", 12);
    }
    void damagedValuesReadAsDefaults()
    {
        QFETCH(QByteArray, contents);
        const QString file = path("damaged.conf");
        QFile::remove(file);
        if (!contents.isNull())
            writeFile(file, contents);
        AppSettings settings(file);
        QCOMPARE(settings.fontSize(), 18.0);
        QCOMPARE(settings.backgroundOpacity(), 0.6);
        QCOMPARE(settings.darkMode(), true);
        QCOMPARE(settings.selectedLanguage(), QStringLiteral("en-US"));
        QCOMPARE(settings.audioSource(), AudioSource::system());
        QVERIFY(!settings.isRightToLeft());
        QCOMPARE(QFile::exists(file), !contents.isNull());

        // A later change still works and leaves the other keys untouched.
        settings.setFontSize(30);
        AppSettings again(file);
        QCOMPARE(again.fontSize(), 30.0);
        QCOMPARE(again.backgroundOpacity(), 0.6);
    }

    void unwritableFileIsLoggedAndNotFatal_data()
    {
        QTest::addColumn<QString>("kind"); // what stands where the file should be
        QTest::newRow("folder") << QStringLiteral("folder");
        QTest::newRow("FIFO") << QStringLiteral("fifo");
        QTest::newRow("link to a FIFO") << QStringLiteral("link");
    }
    // Defaults at once (reading a FIFO would wait for a writer), and changes kept for the session unsaved.
    void unwritableFileIsLoggedAndNotFatal()
    {
        QFETCH(QString, kind);
        const QString file = m_dir.filePath(kind + QStringLiteral(".conf"));
        if (kind == QLatin1String("folder"))
            QVERIFY(QDir().mkpath(file));
        else if (kind == QLatin1String("fifo"))
            QCOMPARE(::mkfifo(QFile::encodeName(file).constData(), 0600), 0);
        else
            QVERIFY(::mkfifo(QFile::encodeName(file + QStringLiteral(".fifo")).constData(), 0600) == 0
                && QFile::link(file + QStringLiteral(".fifo"), file));
        const QString name = QRegularExpression::escape(file);
        const auto ignoreRefusal = [&] {
            QTest::ignoreMessage(
                QtCriticalMsg, QRegularExpression(QStringLiteral("^Settings file %1 is not a regular file").arg(name)));
        };

        ignoreRefusal();
        std::atomic<double> fontSize = 0;
        std::unique_ptr<QThread> opening(QThread::create([&] { fontSize = AppSettings(file).fontSize(); }));
        opening->start();
        if (!opening->wait(10000)) {
            // Give the blocked reader its end of file so that the test fails instead of hanging.
            ::close(::open(QFile::encodeName(file).constData(), O_WRONLY | O_NONBLOCK));
            opening->wait();
            QFAIL("Opening the settings waited on the file");
        }
        QCOMPARE(fontSize.load(), 18.0);

        ignoreRefusal();
        AppSettings settings(file);
        QCOMPARE(settings.fileName(), file);
        QTest::ignoreMessage(
            QtCriticalMsg, QRegularExpression(QStringLiteral("^Failed to write settings file %1$").arg(name)));
        settings.setFontSize(40);
        QCOMPARE(settings.fontSize(), 40.0);
        QCOMPARE(settings.backgroundOpacity(), 0.6);
        QVERIFY(!QFileInfo(file).isFile()); // left as it was
    }

    // The settings file is in the configuration folder of the XDG rules: a relative XDG_CONFIG_HOME is
    // ignored (QSettings would take it from the current folder), an unset HOME is the account's home folder,
    // and where no sound folder exists the settings are kept in memory, with an error, rather than in a
    // folder made at the root.
    void fileFollowsTheXdgRules_data()
    {
        QTest::addColumn<QByteArray>("home"); // "<unset>": no HOME
        QTest::addColumn<QByteArray>("configHome"); // "<unset>": no XDG_CONFIG_HOME
        QTest::addColumn<QString>("file"); // "~": the test's home; "<passwd>": the account's home folder
        const QString standard = QStringLiteral("~/.config/ambrite/sonorel.conf");
        const QByteArray unset = "<unset>";
        const QByteArray home = qgetenv("HOME");
        QTest::newRow("standard") << home << unset << standard;
        QTest::newRow("set") << home << home + "/elsewhere" << QStringLiteral("~/elsewhere/ambrite/sonorel.conf");
        QTest::newRow("empty") << home << QByteArray() << standard;
        QTest::newRow("relative") << home << QByteArray("config") << standard;
        QTest::newRow("dot") << home << QByteArray(".") << standard;
        QTest::newRow("HOME unset") << unset << unset << QStringLiteral("<passwd>/.config/ambrite/sonorel.conf");
        QTest::newRow("HOME relative") << QByteArray("home") << unset
                                       << QStringLiteral("<passwd>/.config/ambrite/sonorel.conf");
        QTest::newRow("HOME the root") << QByteArray("/") << unset << QString();
        QTest::newRow("HOME the root, config relative") << QByteArray("/") << QByteArray("config") << QString();
    }
    void fileFollowsTheXdgRules()
    {
        QFETCH(QByteArray, home);
        QFETCH(QByteArray, configHome);
        QFETCH(QString, file);
        const QByteArray oldHome = qgetenv("HOME"), oldConfig = qgetenv("XDG_CONFIG_HOME");
        const auto restore = qScopeGuard([&] {
            qputenv("HOME", oldHome);
            qputenv("XDG_CONFIG_HOME", oldConfig);
        });
        file.replace(QStringLiteral("~"), QString::fromLocal8Bit(oldHome));
        file.replace(QStringLiteral("<passwd>"), QFile::decodeName(getpwuid(getuid())->pw_dir));
        if (file.isEmpty() && QFileInfo::exists(QStringLiteral("/.config")))
            QSKIP("this machine has a /.config folder");
        home == "<unset>" ? qunsetenv("HOME") : qputenv("HOME", home);
        configHome == "<unset>" ? qunsetenv("XDG_CONFIG_HOME") : qputenv("XDG_CONFIG_HOME", configHome);
        QCOMPARE(AppSettings::userFileName(), file);
        if (!file.isEmpty())
            return;
        QTest::ignoreMessage(QtCriticalMsg, QRegularExpression(QStringLiteral("^No configuration folder")));
        AppSettings settings(AppSettings::userFileName());
        QTest::ignoreMessage(QtCriticalMsg, QRegularExpression(QStringLiteral("^Failed to write settings file")));
        settings.setFontSize(30);
        QCOMPARE(settings.fontSize(), 30.0);
        QVERIFY(!QFileInfo::exists(QStringLiteral("/.config")));
    }

    void rightToLeftFollowsTheLanguage_data()
    {
        QTest::addColumn<QString>("language");
        QTest::addColumn<bool>("rightToLeft");
        for (const char *code : { "ar-SA", "he-IL", "fa-IR", "ur-PK" })
            QTest::newRow(code) << QString::fromLatin1(code) << true;
        for (const char *code : { "en-US", "zh-CN", "ja-JP", "", "-", "zz-ZZ", "ar_invalid@@" })
            QTest::newRow(code[0] ? code : "empty") << QString::fromLatin1(code) << (std::strncmp(code, "ar", 2) == 0);
    }
    void rightToLeftFollowsTheLanguage()
    {
        QFETCH(QString, language);
        QFETCH(bool, rightToLeft);
        AppSettings settings(path("rtl.conf"));
        settings.setSelectedLanguage(language);
        QCOMPARE(settings.isRightToLeft(), rightToLeft);
    }

    void availableLanguagesFollowTheEngine_data()
    {
        QTest::addColumn<QStringList>("supported");
        QTest::addColumn<QStringList>("expected");
        QTest::newRow("two, table order kept") << QStringList { QStringLiteral("fr-FR"), QStringLiteral("en-US") }
                                               << QStringList { QStringLiteral("en-US"), QStringLiteral("fr-FR") };
        QTest::newRow("unknown and differently cased ignored") << QStringList { QStringLiteral("tlh-KX"),
            QStringLiteral("en-us"), QStringLiteral("de-DE") } << QStringList { QStringLiteral("de-DE") };
        QTest::newRow("none") << QStringList {} << QStringList {};
    }
    void availableLanguagesFollowTheEngine()
    {
        QFETCH(QStringList, supported);
        QFETCH(QStringList, expected);
        int asked = 0;
        AppSettings settings(m_dir.filePath(QStringLiteral("languages.conf")));
        QVERIFY(settings.availableLanguages().isEmpty()); // no provider, no languages
        settings.setSupportedLocalesProvider([&] {
            ++asked;
            return supported;
        });
        QStringList codes;
        for (const auto &e : settings.availableLanguages())
            codes << e.code;
        QCOMPARE(codes, expected);
        settings.availableLanguages();
        QCOMPARE(asked, 2); // asked afresh every time
    }
};

QTEST_GUILESS_MAIN(AppSettingsTest)
#include "AppSettingsTest.moc"
