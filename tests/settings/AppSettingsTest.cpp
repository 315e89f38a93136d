#include "settings/AppSettings.h"
#include "WriteFile.h"

#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

#include <atomic>
#include <cmath>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

class AppSettingsTest final : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    // A file of its own for each use: QSettings caches a file it has read and can miss a same-size rewrite.
    QString path(const QString &name) const { return m_dir.filePath(name); }

private Q_SLOTS:
    // In the configuration folder. Every set notifies once, equal values too, while the old value is still held;
    // a later instance reads the values back exactly, doubles to the last bit and a language outside the table.
    void setsNotifyFirstAndRoundTripExactly()
    {
        QCOMPARE(
            AppSettings::userFileName(), QFile::decodeName(qgetenv("XDG_CONFIG_HOME")) + u"/ambrite/sonorel.conf"_s);
        const QString file = path(u"roundtrip.conf"_s);
        const double size = std::nextafter(24.0, 25.0), opacity = 0.1 + 0.2;
        const AudioSource source = AudioSource::application(u"Firefox: Web, \u00e9"_s);
        {
            AppSettings settings(file);
            QList<double> seen;
            auto token = settings.objectWillChange.subscribe([&] { seen << settings.fontSize(); });
            settings.setFontSize(size);
            settings.setFontSize(size);
            settings.setBackgroundOpacity(opacity);
            settings.setDarkMode(false);
            settings.setSelectedLanguage(u"xx-Unknown"_s);
            settings.setAudioSource(source);
            QCOMPARE(seen, QList<double>({ 18.0, size, size, size, size, size }));
        }
        AppSettings again(file);
        QVERIFY(again.fontSize() == size && again.backgroundOpacity() == opacity); // exactly, not fuzzily
        QVERIFY(!again.darkMode() && again.selectedLanguage() == u"xx-Unknown"_s && again.audioSource() == source);
    }

    // Any program names itself to the sound server. Made printable, its name shows no control character and is
    // stored and read back as that application (with a control character it would read back as the whole mix).
    void printableNamesRoundTrip()
    {
        const QString plain = u"Firefox: Web, \u00e9 \U0001F468\u200D\U0001F4BB"_s;
        const std::pair<QString, QString> rows[] = { { plain, plain },
            { u"G\x1b[31m\x07\x7f\tapp:F\r\n\0!"_s, u"G\u241b[31m\u2407\u2421\u2409app:F\u240d\u240a\u2400!"_s },
            { u"Ghost\u009b31m\u0085\u2028\u2029!"_s, u"Ghost\ufffd31m\ufffd\ufffd\ufffd!"_s } };
        for (const auto &[name, shown] : rows) {
            QCOMPARE(AudioSource::printable(name), shown);
            const AudioSource chosen = AudioSource::application(shown);
            const QString file = path(u"source-%1.conf"_s.arg(name.size()));
            AppSettings(file).setAudioSource(chosen);
            QCOMPARE(AppSettings(file).audioSource(), chosen);
        }
    }

    // Sizes that cannot be drawn are neither stored nor read back (quick Ctrl + wheel notches once stored 3228).
    void fontSizeKeptToWhatCanBeDrawn()
    {
        for (const auto &[size, drawn] : { std::pair { 3228.0, 200.0 }, { 0.61, 6.0 } }) {
            const QString stored = path(u"stored-%1.conf"_s.arg(size));
            QVERIFY(writeFile(stored, "[General]\nfontSize=" + QByteArray::number(size) + "\n"));
            QCOMPARE(AppSettings(stored).fontSize(), drawn);
            const QString set = path(u"set-%1.conf"_s.arg(size));
            AppSettings(set).setFontSize(size);
            QCOMPARE(QSettings(set, QSettings::NativeFormat).value(AppSettings::fontSizeKey).toDouble(), drawn);
        }
    }

    // Damaged values read as the defaults, and a later change still works and leaves the other keys untouched.
    void damagedValuesReadAsDefaults()
    {
        const std::pair<const char *, QByteArray> rows[] = {
            { "no file yet", QByteArray() }, // read without writing one
            { "wrong types",
                "[General]\nfontSize=large\nbackgroundOpacity=@ByteArray(xyz)\ndarkMode=maybe\n"
                "selectedLanguage=a, b\naudioSource=app:\n" },
            { "not finite",
                "[General]\nfontSize=nan\nbackgroundOpacity=inf\ndarkMode=\naudioSource=input:" + QByteArray(600, 'm')
                    + "\nselectedLanguage=@Variant(\\0\\0\\0\\x7f\\0)\n" },
            { "-inf, garbage bytes", "[General]\nfontSize=-inf\n\xff\xfe=1\naudioSource=microphone\n" },
            { "source name with a control character", "[General]\naudioSource=app:a\\x1b[2Jb\n" },
            { "not a settings file", QByteArray("\x00\x01\x02 binary \xff", 12) },
        };
        const auto defaults = [](const AppSettings &s, double fontSize) {
            return s.fontSize() == fontSize && s.backgroundOpacity() == 0.6 && s.darkMode()
                && s.selectedLanguage() == u"en-US"_s && s.audioSource() == AudioSource::system();
        };
        for (const auto &[name, contents] : rows) {
            const QString file = path(QString::fromUtf8(name));
            if (!contents.isNull())
                QVERIFY(writeFile(file, contents));
            AppSettings settings(file);
            QVERIFY2(defaults(settings, 18), name);
            QVERIFY2(QFile::exists(file) == !contents.isNull(), name);
            settings.setFontSize(30);
            QVERIFY2(defaults(AppSettings(file), 30), name);
        }
    }

    // Anything but a regular file (a link to a FIFO, whose reader would wait) gives defaults at once, unsaved.
    void unwritableFileIsLoggedAndNotFatal()
    {
        const QString file = path(u"link"_s);
        QVERIFY(::mkfifo(QFile::encodeName(file + u".fifo"_s).constData(), 0600) == 0
            && QFile::link(file + u".fifo"_s, file));
        QTest::ignoreMessage(QtCriticalMsg, QRegularExpression(u"is not a regular file"_s));
        QTest::ignoreMessage(QtCriticalMsg, QRegularExpression(u"^Failed to write settings file"_s));
        std::atomic<double> fontSize = 0;
        std::unique_ptr<QThread> opening(QThread::create([&] {
            AppSettings settings(file);
            settings.setFontSize(40);
            fontSize = settings.fontSize();
        }));
        opening->start();
        if (!opening->wait(10000)) {
            // Give the blocked reader its end of file so that the test fails instead of hanging.
            ::close(::open(QFile::encodeName(file).constData(), O_WRONLY | O_NONBLOCK));
            opening->wait();
            QFAIL("Opening the settings waited on the file");
        }
        QCOMPARE(fontSize.load(), 40.0);
        QVERIFY(!QFileInfo(file).isFile()); // left as it was
    }

    // Right to left by language; the table's rows the engine supports, in table order, asked afresh every time.
    void languages()
    {
        for (const char *code : { "ar-SA", "he-IL", "fa-IR", "ur-PK", "ar_invalid@@" })
            QVERIFY2(AppSettings::isRightToLeft(QString::fromLatin1(code)), code);
        for (const char *code : { "en-US", "zh-CN", "", "-", "zz-ZZ" })
            QVERIFY2(!AppSettings::isRightToLeft(QString::fromLatin1(code)), code);
        AppSettings settings(path(u"languages.conf"_s));
        QVERIFY(settings.availableLanguages().isEmpty());
        QStringList supported { u"fr-FR"_s, u"tlh-KX"_s, u"de-de"_s, u"en-US"_s };
        settings.setSupportedLocalesProvider([&] { return supported; });
        QStringList codes;
        for (const auto &entry : settings.availableLanguages())
            codes << entry.code;
        QCOMPARE(codes, QStringList({ u"en-US"_s, u"fr-FR"_s }));
        supported.clear();
        QVERIFY(settings.availableLanguages().isEmpty());
    }
};

QTEST_GUILESS_MAIN(AppSettingsTest)
#include "AppSettingsTest.moc"
