#include "cli/CaptionPrinter.h"

#include <QTest>

#include <cstdio>

class CaptionPrinterTest final : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    // Each finished sentence is printed once, in order, even after older ones leave the running text and
    // when a new recognition starts afresh; at the end the partial becomes a sentence. A terminal sees the
    // partial redrawn in place.
    void prints_data()
    {
        QTest::addColumn<bool>("terminal");
        QTest::addColumn<QStringList>("updates");
        QTest::addColumn<QByteArray>("printed");
        QTest::newRow("pipe") << false
                              << QStringList { QStringLiteral("Hello"), QStringLiteral("Hello world. Next"),
                                     QStringLiteral("Hello world. Next one. And more"),
                                     QStringLiteral("Next one. And more here. Last"), QStringLiteral("Fresh start") }
                              << QByteArray("Hello world.\nNext one.\nAnd more here.\nFresh start.\n");
        QTest::newRow("abbreviation") << false << QStringList { QStringLiteral("It is nine a.m. now. And then") }
                                      << QByteArray("It is nine a.m. now.\nAnd then.\n");
        QTest::newRow("terminal") << true
                                  << QStringList { QStringLiteral("Hel"), QStringLiteral("Hello"),
                                         QStringLiteral("Hello. Wor") }
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
            for (const QString &text : updates)
                printer.update(text);
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
