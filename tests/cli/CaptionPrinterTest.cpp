#include "CaptionPrinter.h"

#include <QTest>

#include <cstdio>

class CaptionPrinterTest final : public QObject
{
    Q_OBJECT

private:
    // Everything written to the printer's stream so far.
    static QByteArray written(std::FILE *f)
    {
        std::fflush(f);
        const long size = std::ftell(f);
        QByteArray out(size, '\0');
        std::rewind(f);
        if (std::fread(out.data(), 1, size_t(size), f) != size_t(size))
            return {};
        return out;
    }

private Q_SLOTS:
    void split_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QStringList>("sentences");
        QTest::addColumn<QString>("partial");
        QTest::newRow("empty") << QString() << QStringList() << QString();
        QTest::newRow("only partial") << QStringLiteral("Hello there") << QStringList()
                                      << QStringLiteral("Hello there");
        QTest::newRow("one sentence") << QStringLiteral("Hello there.")
                                      << QStringList { QStringLiteral("Hello there.") } << QString();
        QTest::newRow("sentences and partial")
            << QStringLiteral("One. Two too. Three")
            << QStringList { QStringLiteral("One."), QStringLiteral("Two too.") } << QStringLiteral("Three");
        QTest::newRow("abbreviation inside")
            << QStringLiteral("It is nine a.m. now. And then") << QStringList { QStringLiteral("It is nine a.m. now.") }
            << QStringLiteral("And then");
    }

    void split()
    {
        QFETCH(QString, text);
        const auto s = CaptionPrinter::split(text);
        QTEST(s.sentences, "sentences");
        QTEST(s.partial, "partial");
    }

    void eachSentenceIsPrintedOnceInOrder()
    {
        std::FILE *f = std::tmpfile();
        QVERIFY(f);
        CaptionPrinter printer(f, false);
        printer.update(QStringLiteral("Hello"));
        printer.update(QStringLiteral("Hello world. Next"));
        printer.update(QStringLiteral("Hello world. Next one. And"));
        printer.update(QStringLiteral("Hello world. Next one. And more"));
        QCOMPARE(written(f), QByteArray("Hello world.\nNext one.\n"));
        // The oldest sentences were dropped from the running text: nothing is printed twice.
        printer.update(QStringLiteral("Next one. And more here. Last"));
        QCOMPARE(written(f), QByteArray("Hello world.\nNext one.\nAnd more here.\n"));
        // A new recognition starts afresh.
        printer.update(QStringLiteral("Fresh start"));
        printer.finish();
        QCOMPARE(written(f), QByteArray("Hello world.\nNext one.\nAnd more here.\nFresh start.\n"));
        QCOMPARE(printer.printedLines(), 4);
        std::fclose(f);
    }

    void aTerminalSeesThePartialRedrawnInPlace()
    {
        std::FILE *f = std::tmpfile();
        QVERIFY(f);
        CaptionPrinter printer(f, true);
        printer.update(QStringLiteral("Hel"));
        printer.update(QStringLiteral("Hello"));
        printer.update(QStringLiteral("Hello. Wor"));
        printer.finish();
        QCOMPARE(written(f), QByteArray("Hel\r\033[KHello\r\033[KHello.\nWor\r\033[KWor.\n"));
        std::fclose(f);
    }
};

QTEST_GUILESS_MAIN(CaptionPrinterTest)
#include "CaptionPrinterTest.moc"
