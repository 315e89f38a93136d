#pragma once

// Word error rate as NIST's sclite (Debian's sctk) counts it, so that the figures the benchmarks print
// can be set next to anyone else's: the same alignment, the same rules for what counts as one error.
// The transcripts go to a temporary folder as trn files and sclite's raw summary is read back.

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QStringList>
#include <QTemporaryDir>

#include <optional>
#include <vector>

struct WordErrors {
    int sentences = 0;
    int words = 0; // in the references
    int correct = 0;
    int substitutions = 0;
    int deletions = 0;
    int insertions = 0;
    int errors = 0;

    double percent() const { return words > 0 ? 100.0 * errors / words : 0.0; }

    WordErrors &operator+=(const WordErrors &other)
    {
        sentences += other.sentences;
        words += other.words;
        correct += other.correct;
        substitutions += other.substitutions;
        deletions += other.deletions;
        insertions += other.insertions;
        errors += other.errors;
        return *this;
    }
};

class ScliteScorer
{
public:
    // Text as sclite should compare it. The references are spoken words in lower case, so what an engine
    // writes is brought to that form and no further: lower case, no capitals, sentence marks or quotes, no
    // "(2)" markers of alternative pronunciations, and the spoken form of the titles people abbreviate
    // ("Mr." is "mister"). A hyphen or other mark between letters splits words rather than gluing them, which
    // is how the transcripts write compounds ("cold hearted"); an apostrophe inside a word stays ("don't",
    // "l'homme"). Letters of any language are kept. Digits stay as they are written: "10" where "ten" was
    // said is an error, as it is to a reader of spoken-word captions.
    static QString normalise(QString text)
    {
        static const QRegularExpression alternative(QStringLiteral("\\([0-9]+\\)"));
        static const QRegularExpression other(QStringLiteral("[^\\p{L}\\p{M}\\p{N}']+"));
        // One way of writing each accented letter, so that "é" matches "é" however either was composed.
        text = text.normalized(QString::NormalizationForm_C).toLower();
        text.remove(alternative);
        text.replace(QChar(0x2019), QLatin1Char('\'')); // a typographic apostrophe is the same one
        text.replace(other, QStringLiteral(" "));
        QStringList words;
        for (QString word : text.split(QLatin1Char(' '), Qt::SkipEmptyParts)) {
            // Quotation marks, not apostrophes: 'twas is rare, a quoted 'word' is not.
            while (word.startsWith(QLatin1Char('\'')))
                word.remove(0, 1);
            while (word.endsWith(QLatin1Char('\'')))
                word.chop(1);
            if (word.isEmpty())
                continue;
            if (word == QLatin1String("mr"))
                word = QStringLiteral("mister");
            else if (word == QLatin1String("mrs"))
                word = QStringLiteral("missus");
            else if (word == QLatin1String("dr"))
                word = QStringLiteral("doctor");
            words << word;
        }
        return words.join(QLatin1Char(' '));
    }

    // Ids are unique per scorer. sclite reads them as speaker-utterance ("libri-0870", speaker "libri")
    // and refuses one without a '-'; such an id gets a made-up speaker, which only the per-speaker rows
    // that nobody reads would show.
    void add(const QString &id, const QString &reference, const QString &hypothesis)
    {
        const QString trnId = id.contains(QLatin1Char('-')) ? id : QStringLiteral("utt-") + id;
        m_lines.push_back({ trnId, normalise(reference), normalise(hypothesis) });
    }

    bool isEmpty() const { return m_lines.empty(); }

    // Nothing, with `error` set, when sclite is not installed or does not produce a summary.
    std::optional<WordErrors> score(QString *error) const
    {
        const QString sclite = executable();
        if (sclite.isEmpty()) {
            *error = QStringLiteral("sclite is not installed (Debian package sctk)");
            return std::nullopt;
        }
        QTemporaryDir dir;
        if (!dir.isValid()) {
            *error = QStringLiteral("no temporary folder: ") + dir.errorString();
            return std::nullopt;
        }
        const QString ref = dir.filePath(QStringLiteral("ref.trn")), hyp = dir.filePath(QStringLiteral("hyp.trn"));
        if (!write(ref, &Line::reference) || !write(hyp, &Line::hypothesis)) {
            *error = QStringLiteral("cannot write the trn files in ") + dir.path();
            return std::nullopt;
        }

        QProcess process;
        process.start(sclite,
            { QStringLiteral("-r"), ref, QStringLiteral("trn"), QStringLiteral("-h"), hyp, QStringLiteral("trn"),
                QStringLiteral("-i"), QStringLiteral("rm"), QStringLiteral("-o"), QStringLiteral("rsum"),
                QStringLiteral("stdout") });
        // A few thousand words take sclite well under a second; a minute means it is stuck.
        if (!process.waitForFinished(60000)) {
            process.kill();
            process.waitForFinished(5000);
            *error = QStringLiteral("sclite did not finish");
            return std::nullopt;
        }
        const QString out = QString::fromUtf8(process.readAllStandardOutput());
        const QString err = QString::fromUtf8(process.readAllStandardError());
        // sclite carries on after some mistakes (an id it cannot read) and says so only on stderr.
        if (process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0
            || err.contains(QStringLiteral("Error"))) {
            *error = QStringLiteral("sclite failed: ") + err.trimmed();
            return std::nullopt;
        }
        // The raw summary's total row: "| Sum | #snt #wrd | corr sub del ins err s.err |".
        static const QRegularExpression sum(QStringLiteral("^\\s*\\|\\s*Sum(?:/Avg)?\\s*\\|\\s*(\\d+)\\s+(\\d+)\\s*\\|"
                                                           "\\s*(\\d+)\\s+(\\d+)\\s+(\\d+)\\s+(\\d+)\\s+(\\d+)"),
            QRegularExpression::MultilineOption);
        const auto m = sum.match(out);
        if (!m.hasMatch()) {
            *error = QStringLiteral("no summary in sclite's output");
            return std::nullopt;
        }
        WordErrors result;
        result.sentences = m.captured(1).toInt();
        result.words = m.captured(2).toInt();
        result.correct = m.captured(3).toInt();
        result.substitutions = m.captured(4).toInt();
        result.deletions = m.captured(5).toInt();
        result.insertions = m.captured(6).toInt();
        result.errors = m.captured(7).toInt();
        return result;
    }

    // sctk installs sclite outside PATH, behind its `sctk` wrapper.
    static QString executable()
    {
        QString path = QStandardPaths::findExecutable(QStringLiteral("sclite"));
        if (path.isEmpty())
            path = QStandardPaths::findExecutable(QStringLiteral("sclite"), { QStringLiteral("/usr/lib/sctk/bin") });
        return path;
    }

private:
    struct Line {
        QString id;
        QString reference;
        QString hypothesis;
    };

    bool write(const QString &path, QString Line::*text) const
    {
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly | QIODevice::Text))
            return false;
        for (const Line &line : m_lines)
            file.write((line.*text + QStringLiteral(" (") + line.id + QStringLiteral(")\n")).toUtf8());
        return file.flush();
    }

    std::vector<Line> m_lines;
};
