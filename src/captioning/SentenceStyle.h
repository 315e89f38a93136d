#pragma once

#include <QHash>
#include <QString>
#include <QStringList>

#include <memory>
#include <vector>

// Writes a speech engine's bare words ("and mister john dashwood had then leisure") as caption text.
// Every style gives the sentence a capital first letter and a closing mark. The English style also
// capitalises "I", names and other words a dictionary spells only with capitals, ends questions with "?"
// and can tell when the words plainly stop mid-sentence. Pure logic apart from reading the word list.
class SentenceStyle final
{
public:
    // Debian's wamerican list: one word a line, capitals as they are written.
    static constexpr const char *englishWordList = "/usr/share/dict/american-english";

    // The English style for an English locale ("en", "en-GB", "en_US"), built from the system word list
    // once per process and shared between tasks; the plain style for other locales or without the list.
    static std::shared_ptr<const SentenceStyle> forLocale(const QString &localeIdentifier);
    static std::shared_ptr<const SentenceStyle> plain();
    static std::shared_ptr<const SentenceStyle> english(const QStringList &wordList);

    // The words of a hypothesis, without fillers ("<sil>", "[noise]", "<s>") and without the markers
    // of alternative pronunciations ("word(2)").
    static QStringList words(const QString &hypothesis);

    // The words as one finished sentence, closed with "." or "?" unless the last word already ends
    // with a mark (as "a.m." does). Empty for a hypothesis without words.
    QString sentence(const QString &hypothesis) const;
    // The words of a sentence still being spoken: written as sentence() writes them, so that they do not
    // change when the sentence is finished, but without any closing mark.
    QString fragment(const QString &hypothesis) const;
    // False when the last word leaves the sentence plainly unfinished ("... in his power to").
    bool readsComplete(const QString &hypothesis) const;

private:
    SentenceStyle() = default;
    explicit SentenceStyle(const QStringList &wordList);

    QString compose(const QStringList &words, bool finished) const;
    QStringList spelled(const QStringList &lower) const;
    bool knownInLowerCase(const QString &lower) const;

    bool m_english = false;
    // Lower-case word -> its capitalised spelling, for words the list never writes in lower case.
    QHash<QString, QString> m_capitalOnly;
    // Lower-case word -> its capitalised spelling, for words the list also writes in lower case
    // ("will" / "Will"): capitalised only where a title marks them as names.
    QHash<QString, QString> m_alsoNames;
    // Hashes of the words the list writes in lower case, sorted: tells unknown surnames from ordinary
    // words at a fraction of the memory of the strings.
    std::vector<size_t> m_lowerCaseHashes;
};
