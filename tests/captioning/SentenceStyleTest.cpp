#include "captioning/SentenceStyle.h"

#include <QTest>

using namespace Qt::StringLiterals;

class SentenceStyleTest final : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    // Rows with a word list use it; the others the style of their locale, on the system word list. The
    // fragment of a row is its sentence without the closing mark.
    void sentence_data()
    {
        QTest::addColumn<QString>("locale");
        QTest::addColumn<QStringList>("wordList");
        QTest::addColumn<QString>("hypothesis");
        QTest::addColumn<QString>("sentence");
        const auto row = [](const QString &locale, const char *hypothesis, const char *sentence,
                             const QStringList &wordList = {}) {
            QTest::addRow("%s: %s", qPrintable(locale), hypothesis)
                << locale << wordList << QString::fromUtf8(hypothesis) << QString::fromUtf8(sentence);
        };
        const QString en = u"en-US"_s;
        // Capitals.
        row(en, "and mister john dashwood had then leisure", "And Mister John Dashwood had then leisure.");
        row(en, "on monday in december we flew to london", "On Monday in December we flew to London.");
        row(en, "we will mark the bill in may or march", "We will mark the bill in may or march.");
        row(en, "i think i'm sure i'll go as i've said i'd", "I think I'm sure I'll go as I've said I'd.");
        row(en, "nasa and mcdonald's on monday's show", "NASA and McDonald's on Monday's show.");
        // On a word list of their own.
        row(QString(), "john's hat", "John's hat.", { u"John"_s });
        row(QString(), "we will see may", "We will see may.", { u"May"_s, u"may"_s, u"will"_s, u"Will"_s });
        row(QString(), "the ac unit", "The Ac unit.", { u"AC"_s, u"Ac"_s });
        // Questions.
        row(en, "what is your name", "What is your name?");
        row(en, "what's that", "What's that?");
        row(en, "which one do you want", "Which one do you want?");
        row(en, "how many people are there", "How many people are there?");
        row(en, "how about tomorrow", "How about tomorrow?");
        row(en, "could you help me", "Could you help me?");
        row(en, "is that so", "Is that so?");
        row(en, "may i come in", "May I come in?");
        row(en, "when i was young we lived here", "When I was young we lived here.");
        row(en, "what he said was true", "What he said was true.");
        row(en, "do it now", "Do it now.");
        row(en, "may you live long", "May you live long.");
        row(en, "so do you", "So do you.");
        // Engine output.
        row(en, "<s> hello <sil> world(2) [noise] </s>", "Hello world.");
        row(en, "<s> <sil> </s>", "");
        row(en, "", "");
        row(en, "see you at ten a.m.", "See you at ten a.m.");
        // Locales.
        row(u"en"_s, "i am", "I am.");
        row(u"en_GB"_s, "where is london", "Where is London?");
        row(u"fr-FR"_s, "où est londres <sil> i(2)", "Où est londres i.");
        row(u"de"_s, "is it john", "Is it john.");
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
        const auto row = [](const QString &locale, const char *hypothesis, bool complete) {
            QTest::addRow("%s: %s", qPrintable(locale), hypothesis)
                << locale << QString::fromUtf8(hypothesis) << complete;
        };
        const QString en = u"en-US"_s;
        row(en, "in his power to", false); // a preposition
        row(en, "he gave the <sil>", false); // an article, fillers after
        row(en, "the problem is", false); // an auxiliary after a noun
        row(en, "and so", false); // a bare "so"
        row(en, "i saw her", true); // "her" as an object
        row(en, "yes i can", true); // an elliptical answer
        row(en, "i think so", true);
        row(en, "", true);
        row(u"fr-FR"_s, "in his power to", true); // the plain style
    }
    void readsComplete()
    {
        QFETCH(QString, locale);
        QFETCH(QString, hypothesis);
        QTEST(SentenceStyle::forLocale(locale)->readsComplete(hypothesis), "complete");
    }
};

QTEST_GUILESS_MAIN(SentenceStyleTest)
#include "SentenceStyleTest.moc"
