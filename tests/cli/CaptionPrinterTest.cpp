#include "cli/CaptionPrinter.h"

#include <QTest>

#include <cstdio>

using namespace Qt::StringLiterals;

class CaptionPrinterTest final : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    // Each sentence is printed once, as the recognizer finishes it ("+"), whatever marks the running text holds;
    // at the end the words after it become one. A terminal sees them redrawn in place.
    void prints_data()
    {
        QTest::addColumn<bool>("terminal");
        QTest::addColumn<QString>("updates"); // separated by "|"
        QTest::addColumn<QByteArray>("printed");
        QTest::newRow("pipe")
            << false
            << u"Hello|Hello world. Next|+Hello world.|Hello world. Next one. And more|+Next one.|Next one. And Mr. Smith"_s
            << QByteArray("Hello world.\nNext one.\nAnd Mr. Smith.\n");
        QTest::newRow("sentence left open")
            << false << u"It is nine a.m. now|+It is nine a.m. now"_s << QByteArray("It is nine a.m. now\n");
        // Finished with a mark the running text does not show yet: nothing is left over to print again.
        QTest::newRow("mark added when finished")
            << false << u"+Done.|Done. And then|+And then.|Done. And then"_s << QByteArray("Done.\nAnd then.\n");
        QTest::newRow("terminal") << true << u"Hel|Hello|+Hello.|Hello. Wor"_s
                                  << QByteArray("Hel\r\033[KHello\r\033[KHello.\nWor\r\033[KWor.\n");
    }
    void prints()
    {
        QFETCH(bool, terminal);
        QFETCH(QString, updates);
        std::FILE *file = std::tmpfile();
        QVERIFY(file);
        {
            CaptionPrinter printer(file, terminal);
            for (const QString &text : updates.split(u'|'))
                text.startsWith(u'+') ? printer.sentence(text.mid(1)) : printer.update(text);
            printer.finish();
        }
        QByteArray out(std::ftell(file), '\0');
        std::rewind(file);
        QCOMPARE(std::fread(out.data(), 1, size_t(out.size()), file), size_t(out.size()));
        std::fclose(file);
        QTEST(out, "printed");
    }
};

QTEST_GUILESS_MAIN(CaptionPrinterTest)
#include "CaptionPrinterTest.moc"
