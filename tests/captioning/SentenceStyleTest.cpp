#include "captioning/SentenceStyle.h"

#include <QTest>

#include <thread>

class SentenceStyleTest final : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY2(QFile::exists(QString::fromLatin1(SentenceStyle::englishWordList)),
            "the English style needs Debian's wamerican word list");
    }

    // Rows with a word list use it; the others the style of their locale, on the system word list. The
    // fragment of a row is its sentence without the closing mark.
    void sentence_data()
    {
        QTest::addColumn<QString>("locale");
        QTest::addColumn<QStringList>("wordList");
        QTest::addColumn<QString>("hypothesis");
        QTest::addColumn<QString>("sentence");
        const QString en = QStringLiteral("en-US");
        const auto row = [&](const char *name, const QString &locale, const char *hypothesis, const char *sentence,
                             const QStringList &wordList = {}) {
            QTest::newRow(name) << locale << wordList << QString::fromUtf8(hypothesis) << QString::fromUtf8(sentence);
        };
        // Capitals.
        row("names after a title", en, "and mister john dashwood had then leisure",
            "And Mister John Dashwood had then leisure.");
        row("title before a plain word", en, "mister and missus smith", "Mister and Missus Smith.");
        row("days months places", en, "on monday in december we flew to london",
            "On Monday in December we flew to London.");
        row("words also written lower case", en, "we will mark the bill in may or march",
            "We will mark the bill in may or march.");
        row("I forms", en, "i think i'm sure i'll go as i've said i'd", "I think I'm sure I'll go as I've said I'd.");
        row("list's own capitals and possessives", en, "nasa and mcdonald's on monday's show",
            "NASA and McDonald's on Monday's show.");
        row("possessive of a listed name", QString(), "john's hat", "John's hat.", { QStringLiteral("John") });
        row("lower case wins in any order", QString(), "we will see may", "We will see may.",
            { QStringLiteral("May"), QStringLiteral("may"), QStringLiteral("will"), QStringLiteral("Will") });
        row("capitals all spellings share", QString(), "the ac unit", "The Ac unit.",
            { QStringLiteral("AC"), QStringLiteral("Ac") });
        // Questions.
        row("wh auxiliary", en, "what is your name", "What is your name?");
        row("why did", en, "why did he go", "Why did he go?");
        row("wh contraction", en, "what's that", "What's that?");
        row("wh noun auxiliary", en, "which one do you want", "Which one do you want?");
        row("how many noun auxiliary", en, "how many people are there", "How many people are there?");
        row("how about", en, "how about tomorrow", "How about tomorrow?");
        row("auxiliary pronoun", en, "could you help me", "Could you help me?");
        row("negative auxiliary", en, "isn't it lovely", "Isn't it lovely?");
        row("be demonstrative", en, "is that so", "Is that so?");
        row("may i", en, "may i come in", "May I come in?");
        row("am i", en, "am i late", "Am I late?");
        row("wh clause", en, "when i was young we lived here", "When I was young we lived here.");
        row("wh subject", en, "what he said was true", "What he said was true.");
        row("exclamation", en, "what a lovely day", "What a lovely day.");
        row("conditional had", en, "had he married a more amiable woman", "Had he married a more amiable woman.");
        row("order", en, "do it now", "Do it now.");
        row("wish", en, "may you live long", "May you live long.");
        row("auxiliary not first", en, "so do you", "So do you.");
        // Engine output.
        row("fillers and alternatives", en, "<s> hello <sil> world(2) [noise] </s>", "Hello world.");
        row("only fillers", en, "<s> <sil> </s>", "");
        row("empty", en, "", "");
        row("own closing mark", en, "see you at ten a.m.", "See you at ten a.m.");
        // Locales.
        row("en", QStringLiteral("en"), "i am", "I am.");
        row("en_GB", QStringLiteral("en_GB"), "where is london", "Where is London?");
        row("fr-FR plain", QStringLiteral("fr-FR"), "où est londres <sil> i(2)", "Où est londres i.");
        row("de plain, no questions", QStringLiteral("de"), "is it john", "Is it john.");
    }
    void sentence()
    {
        QFETCH(QString, locale);
        QFETCH(QStringList, wordList);
        QFETCH(QString, hypothesis);
        QFETCH(QString, sentence);
        const auto style = wordList.isEmpty() ? SentenceStyle::forLocale(locale) : SentenceStyle::english(wordList);
        QCOMPARE(style->sentence(hypothesis), sentence);
        QCOMPARE(style->fragment(hypothesis), sentence.chopped(sentence.isEmpty() ? 0 : 1));
    }

    void readsComplete_data()
    {
        QTest::addColumn<QString>("locale");
        QTest::addColumn<QString>("hypothesis");
        QTest::addColumn<bool>("complete");
        const QString en = QStringLiteral("en-US");
        QTest::newRow("preposition") << en << QStringLiteral("in his power to") << false;
        QTest::newRow("article, fillers after") << en << QStringLiteral("he gave the <sil>") << false;
        QTest::newRow("conjunction") << en << QStringLiteral("cold hearted and") << false;
        QTest::newRow("possessive") << en << QStringLiteral("it was in their") << false;
        QTest::newRow("auxiliary after a noun") << en << QStringLiteral("the problem is") << false;
        QTest::newRow("bare so") << en << QStringLiteral("and so") << false;
        QTest::newRow("noun") << en << QStringLiteral("he was not an ill disposed young man") << true;
        QTest::newRow("object her") << en << QStringLiteral("i saw her") << true;
        QTest::newRow("elliptical answer") << en << QStringLiteral("yes i can") << true;
        QTest::newRow("auxiliaries after subject") << en << QStringLiteral("where have you been") << true;
        QTest::newRow("think so") << en << QStringLiteral("i think so") << true;
        QTest::newRow("empty") << en << QString() << true;
        QTest::newRow("plain style") << QStringLiteral("fr-FR") << QStringLiteral("in his power to") << true;
    }
    void readsComplete()
    {
        QFETCH(QString, locale);
        QFETCH(QString, hypothesis);
        QFETCH(bool, complete);
        QCOMPARE(SentenceStyle::forLocale(locale)->readsComplete(hypothesis), complete);
    }

    // Recognition tasks start on worker threads; they must share one English style, loaded once.
    void sharedAcrossThreads()
    {
        std::vector<std::shared_ptr<const SentenceStyle>> styles(4);
        std::vector<std::thread> threads;
        for (auto &style : styles)
            threads.emplace_back([&style] { style = SentenceStyle::forLocale(QStringLiteral("en-GB")); });
        for (auto &thread : threads)
            thread.join();
        for (const auto &style : styles)
            QCOMPARE(style, SentenceStyle::forLocale(QStringLiteral("en")));
        QVERIFY(SentenceStyle::forLocale(QStringLiteral("en")) != SentenceStyle::plain());
    }
};

QTEST_GUILESS_MAIN(SentenceStyleTest)
#include "SentenceStyleTest.moc"
