#include "cli/CaptionPrinter.h"

#include <QTest>

#include <cstdio>

class CaptionPrinterTest final : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    // Each finished sentence is printed once, as the recognizer finishes it (steps that start with "+"),
    // whatever marks the running text holds; at the end the words after it become a sentence. A terminal
    // sees them redrawn in place.
    void prints_data()
    {
        QTest::addColumn<bool>("terminal");
        QTest::addColumn<QStringList>("updates");
        QTest::addColumn<QByteArray>("printed");
        QTest::newRow("pipe") << false
                              << QStringList { QStringLiteral("Hello"), QStringLiteral("Hello world. Next"),
                                     QStringLiteral("+Hello world."), QStringLiteral("Hello world. Next one. And more"),
                                     QStringLiteral("+Next one."), QStringLiteral("Next one. And Mr. Smith") }
                              << QByteArray("Hello world.\nNext one.\nAnd Mr. Smith.\n");
        QTest::newRow("sentence left open")
            << false << QStringList { QStringLiteral("It is nine a.m. now"), QStringLiteral("+It is nine a.m. now") }
            << QByteArray("It is nine a.m. now\n");
        // Finished with a mark the running text does not show yet: nothing is left over to print again.
        QTest::newRow("mark added when finished")
            << false
            << QStringList { QStringLiteral("+Done."), QStringLiteral("Done. And then"), QStringLiteral("+And then."),
                   QStringLiteral("Done. And then") }
            << QByteArray("Done.\nAnd then.\n");
        QTest::newRow("terminal") << true
                                  << QStringList { QStringLiteral("Hel"), QStringLiteral("Hello"),
                                         QStringLiteral("+Hello."), QStringLiteral("Hello. Wor") }
                                  << QByteArray("Hel\r\033[KHello\r\033[KHello.\nWor\r\033[KWor.\n");
    }
    void prints()
    {
        QFETCH(bool, terminal);
        QFETCH(QStringList, updates);
        std::FILE *file = std::tmpfile();
        QVERIFY(file);
        {
            CaptionPrinter printer(file, terminal);
            for (const QString &text : updates) {
                if (text.startsWith(u'+'))
                    printer.sentence(text.mid(1));
                else
                    printer.update(text);
            }
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
