#include "captioning/SentenceStyle.h"
#include "base/Log.h"

#include <QFile>
#include <QRegularExpression>
#include <QSet>

#include <algorithm>

namespace {

QSet<QString> wordSet(const char *spaced)
{
    const QStringList list = QString::fromLatin1(spaced).split(QLatin1Char(' '), Qt::SkipEmptyParts);
    return QSet<QString>(list.begin(), list.end());
}

// Auxiliaries that open a yes/no question. "had" is left out: "had he married ..." opens a condition far
// more often than a question.
const QSet<QString> &questionAuxiliaries()
{
    static const QSet<QString> set = wordSet("am is are was were do does did have has can could will would "
                                             "shall should may might must isn't aren't wasn't weren't don't "
                                             "doesn't didn't haven't hasn't can't couldn't won't wouldn't "
                                             "shan't shouldn't mightn't mustn't");
    return set;
}

const QSet<QString> &auxiliaries()
{
    static const QSet<QString> set = [] {
        QSet<QString> s = questionAuxiliaries();
        s.unite(wordSet("had hadn't be been being"));
        return s;
    }();
    return set;
}

const QSet<QString> &subjects()
{
    static const QSet<QString> set = wordSet("i you he she it we they there anyone anybody someone somebody "
                                             "everyone everybody anything something");
    return set;
}

// Words that cannot be the noun of "what time", "which one", "whose turn".
const QSet<QString> &determinersAndPronouns()
{
    static const QSet<QString> set = wordSet("the a an my your his her its our their this that these those some "
                                             "any no every each i you he she it we they me him us them there");
    return set;
}

const QSet<QString> &whWords()
{
    static const QSet<QString> set = wordSet("what why how where when who which whose whom");
    return set;
}

// Questions, kept conservative because a "?" on a statement reads worse than a "." on a question:
// - an auxiliary followed by its subject ("do you", "is it", "can we", "isn't there", "is that");
// - a wh-word contracted ("what's", "who'd") or followed directly by an auxiliary ("how do", "where are",
//   "why did"), or by a single noun and an auxiliary ("what time is", "which one do", "how many people
//   are"), or by "about", "come" or "not" ("how about", "how come", "why not").
// A wh-word followed by a subject opens a clause, not a question: "when i was young we lived here".
bool asksQuestion(const QStringList &w)
{
    static const QSet<QString> beForms = wordSet("am is are was were isn't aren't wasn't weren't");
    static const QSet<QString> demonstratives = wordSet("this that these those");
    static const QSet<QString> howMuch = wordSet("many much long far often old big soon");
    if (w.isEmpty())
        return false;
    const QString &first = w[0];
    const QString second = w.value(1);
    if (questionAuxiliaries().contains(first)) {
        if (first == QLatin1String("may"))
            return second == QLatin1String("i") || second == QLatin1String("we"); // "may you ..." wishes
        if (beForms.contains(first) && demonstratives.contains(second))
            return true;
        // "do it", "have it your way": orders.
        if (second == QLatin1String("it") && (first == QLatin1String("do") || first == QLatin1String("have")))
            return false;
        return subjects().contains(second);
    }
    const qsizetype apostrophe = first.indexOf(QLatin1Char('\''));
    if (apostrophe > 0 && whWords().contains(first.left(apostrophe)))
        return true;
    if (!whWords().contains(first))
        return false;
    if (auxiliaries().contains(second))
        return true;
    if ((first == QLatin1String("how") || first == QLatin1String("what")) && second == QLatin1String("about"))
        return true;
    if ((first == QLatin1String("how") && second == QLatin1String("come"))
        || (first == QLatin1String("why") && second == QLatin1String("not")))
        return true;
    const auto noun = [](const QString &word) {
        return !word.isEmpty() && !determinersAndPronouns().contains(word) && !auxiliaries().contains(word);
    };
    if (first == QLatin1String("how") && howMuch.contains(second))
        return auxiliaries().contains(w.value(2)) || (noun(w.value(2)) && auxiliaries().contains(w.value(3)));
    if (first == QLatin1String("what") || first == QLatin1String("which") || first == QLatin1String("whose"))
        return noun(second) && auxiliaries().contains(w.value(2));
    return false;
}

// A sentence that ends in one of these has plainly not been finished. "her" is missing because it
// ends "I saw her" as often as it starts "her book"; "in" and "on" stay, although "come in" ends a
// sentence, since a pause in "sitting in ... the garden" is as common.
const QSet<QString> &unfinishedEndings()
{
    static const QSet<QString> set = [] {
        QSet<QString> s = wordSet("the a an and or but nor of to in on at for with from by into onto upon "
                                  "towards toward between among that which who whom whose if because than as "
                                  "whether although though unless while whereas my your his their our its very "
                                  "so such");
        s.unite(auxiliaries());
        return s;
    }();
    return set;
}

bool endsSentence(QChar c)
{
    return c == QLatin1Char('.') || c == QLatin1Char('?') || c == QLatin1Char('!');
}

QString withCapital(QString word)
{
    if (!word.isEmpty())
        word[0] = word[0].toUpper();
    return word;
}

// Capitals only where every spelling has one: "AC" and "Ac" give "Ac", "IRA" and "Ira" give "Ira".
QString sharedCapitals(const QString &a, const QString &b)
{
    if (a.size() != b.size())
        return a.front().isUpper() && b.front().isUpper() ? withCapital(a.toLower()) : a.toLower();
    QString out = a.toLower();
    for (qsizetype i = 0; i < a.size(); ++i) {
        if (a[i].isUpper() && b[i].isUpper())
            out[i] = a[i];
    }
    return out;
}

bool isTitle(const QString &lower)
{
    static const QSet<QString> set = wordSet("mister missus mr mrs ms");
    return set.contains(lower);
}

QString possessiveStem(const QString &lower)
{
    return lower.endsWith(QLatin1String("'s")) ? lower.chopped(2) : QString();
}

} // namespace

SentenceStyle::SentenceStyle(const QStringList &wordList) : m_english(true)
{
    QHash<QString, QString> capitals;
    QSet<QString> lowerCase;
    for (const QString &entry : wordList) {
        const QString word = entry.trimmed();
        if (word.isEmpty())
            continue;
        const QString lower = word.toLower();
        if (word == lower) {
            lowerCase.insert(lower);
            continue;
        }
        auto it = capitals.find(lower);
        if (it == capitals.end())
            capitals.insert(lower, word);
        else
            *it = sharedCapitals(*it, word);
    }
    for (auto it = capitals.cbegin(); it != capitals.cend(); ++it) {
        if (it.value() == it.key())
            continue; // the spellings share no capital
        (lowerCase.contains(it.key()) ? m_alsoNames : m_capitalOnly).insert(it.key(), it.value());
    }
    m_lowerCaseHashes.reserve(size_t(lowerCase.size()));
    for (const QString &word : std::as_const(lowerCase))
        m_lowerCaseHashes.push_back(qHash(word));
    std::sort(m_lowerCaseHashes.begin(), m_lowerCaseHashes.end());
}

std::shared_ptr<const SentenceStyle> SentenceStyle::plain()
{
    static const std::shared_ptr<const SentenceStyle> style(new SentenceStyle());
    return style;
}

std::shared_ptr<const SentenceStyle> SentenceStyle::english(const QStringList &wordList)
{
    return std::shared_ptr<const SentenceStyle>(new SentenceStyle(wordList));
}

std::shared_ptr<const SentenceStyle> SentenceStyle::forLocale(const QString &localeIdentifier)
{
    static const QRegularExpression separator(QStringLiteral("[-_.@]"));
    if (localeIdentifier.section(separator, 0, 0).compare(QLatin1String("en"), Qt::CaseInsensitive) != 0)
        return plain();
    // Built on first use and kept: tasks start often, and reading and indexing the list takes a while.
    static const std::shared_ptr<const SentenceStyle> style = [] {
        const QString path = QString::fromLatin1(englishWordList);
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly)) {
            SLOG_INFO(lcSpeech, "No word list at %s; English captions keep the engine's lower case", path);
            return plain();
        }
        return english(QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts));
    }();
    return style;
}

QStringList SentenceStyle::words(const QString &hypothesis)
{
    static const QRegularExpression alternative(QStringLiteral("\\(\\d+\\)$"));
    QStringList out;
    for (QString word : hypothesis.simplified().split(QLatin1Char(' '), Qt::SkipEmptyParts)) {
        if (word.startsWith(QLatin1Char('<')) || word.startsWith(QLatin1Char('['))
            || word.startsWith(QLatin1String("++")))
            continue;
        word.remove(alternative);
        if (!word.isEmpty())
            out.append(word);
    }
    return out;
}

bool SentenceStyle::knownInLowerCase(const QString &lower) const
{
    return std::binary_search(m_lowerCaseHashes.begin(), m_lowerCaseHashes.end(), qHash(lower));
}

QStringList SentenceStyle::spelled(const QStringList &given) const
{
    QStringList out;
    out.reserve(given.size());
    // Inside a name after a title ("mister john dashwood"), words the list does not know are surnames.
    bool inName = false;
    for (qsizetype i = 0; i < given.size(); ++i) {
        const QString lower = given[i].toLower();
        const QString stem = possessiveStem(lower);
        const QString base = stem.isEmpty() ? lower : stem;
        const QString suffix = lower.sliced(base.size());
        const bool afterTitle = i > 0 && isTitle(given[i - 1].toLower());
        QString word;
        if (lower == QLatin1String("i") || lower.startsWith(QLatin1String("i'")))
            word = withCapital(lower);
        else if (const auto it = m_capitalOnly.constFind(lower); it != m_capitalOnly.cend())
            word = *it;
        else if (const auto st = m_capitalOnly.constFind(base); st != m_capitalOnly.cend())
            word = *st + suffix;
        else if (const auto name = m_alsoNames.constFind(base); afterTitle && name != m_alsoNames.cend())
            word = *name + suffix;
        else if ((afterTitle || inName) && !knownInLowerCase(base))
            word = withCapital(lower);
        const bool capitalised = !word.isEmpty();
        if (afterTitle && capitalised)
            out[i - 1] = withCapital(out[i - 1]);
        inName = capitalised && (afterTitle || inName);
        out.append(capitalised ? word : given[i]);
    }
    return out;
}

QString SentenceStyle::compose(const QStringList &given, bool finished) const
{
    if (given.isEmpty())
        return {};
    QString s = withCapital((m_english ? spelled(given) : given).join(QLatin1Char(' ')));
    if (!finished) {
        // A word such as "a.m." ending a partial result keeps its mark only once the sentence is
        // finished, so that only finished sentences end in one and readers can tell.
        while (!s.isEmpty() && endsSentence(s.back()))
            s.chop(1);
    } else if (!endsSentence(s.back())) {
        QStringList lower = given;
        for (QString &word : lower)
            word = word.toLower();
        s += m_english && asksQuestion(lower) ? QLatin1Char('?') : QLatin1Char('.');
    }
    return s;
}

QString SentenceStyle::sentence(const QString &hypothesis) const
{
    return compose(words(hypothesis), true);
}

QString SentenceStyle::fragment(const QString &hypothesis) const
{
    return compose(words(hypothesis), false);
}

bool SentenceStyle::readsComplete(const QString &hypothesis) const
{
    if (!m_english)
        return true;
    QStringList w = words(hypothesis.toLower());
    if (w.isEmpty() || !unfinishedEndings().contains(w.back()))
        return true;
    if (w.back() == QLatin1String("so")) {
        // "I think so", "I told you so", "if so".
        static const QSet<QString> ending = wordSet("think hope guess suppose believe expect say said says told "
                                                    "do did does not if even you is");
        return w.size() > 1 && ending.contains(w[w.size() - 2]);
    }
    if (!auxiliaries().contains(w.back()))
        return false;
    // An auxiliary after its subject ends an elliptical answer: "yes I can", "where have you been".
    while (!w.isEmpty()
        && (auxiliaries().contains(w.back()) || w.back() == QLatin1String("not") || w.back() == QLatin1String("never")))
        w.removeLast();
    static const QSet<QString> pronouns = wordSet("i you he she it we they");
    return !w.isEmpty() && pronouns.contains(w.back());
}
