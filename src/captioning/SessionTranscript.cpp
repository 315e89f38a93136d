#include "captioning/SessionTranscript.h"

#include "base/SafeSave.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>

qsizetype SessionTranscript::bytesOf(const TimedSentence &sentence)
{
    qsizetype bytes = sentence.text.size();
    for (const TimedWord &w : sentence.words)
        bytes += w.text.size();
    return bytes * qsizetype(sizeof(QChar));
}

void SessionTranscript::append(TimedSentence sentence)
{
    m_bytes += bytesOf(sentence);
    m_sentences.push_back(std::move(sentence));
    while (m_sentences.size() > 1 && m_bytes > maxTextBytes) {
        m_bytes -= bytesOf(m_sentences.front());
        m_sentences.pop_front();
    }
}

std::optional<QString> SessionTranscript::saveAs(const QString &fileName) const
{
    const auto tr = [](const char *text) { return QCoreApplication::translate("SessionTranscript", text); };
    const QString name = QFileInfo(fileName).fileName();
    const auto format = TranscriptWriter::formatForFile(fileName);
    if (!format || *format == TranscriptWriter::Format::Json)
        return tr("The transcript was not saved: “%1” does not end in .txt, .srt or .vtt, so Sonorel does not know "
                  "which kind of file to write.")
            .arg(name);
    const std::vector<TimedSentence> all(m_sentences.begin(), m_sentences.end());
    const QByteArray bytes = TranscriptWriter::document(*format, all);
    const auto failure = SafeSave::write(fileName, bytes);
    if (!failure)
        return std::nullopt;
    if (failure->stage == SafeSave::Failure::Stage::Open) {
        const QString folder = QDir::toNativeSeparators(QFileInfo(fileName).absolutePath());
        return tr("The transcript was not saved: Sonorel cannot write in the folder “%1”. Choose another folder, or "
                  "check that you may write there. (%2)")
            .arg(folder, failure->reason);
    }
    return tr("The transcript was not saved: writing “%1” failed, perhaps because the disk is full. Any file "
              "that was there before is unchanged. (%2)")
        .arg(name, failure->reason);
}
