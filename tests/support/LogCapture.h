#pragma once

#include <QStringList>

#include <algorithm>
#include <mutex>

// Collects log lines from any thread while it lives, as "Category: message", passing them on as well.
class LogCapture final
{
public:
    LogCapture() : m_previous(qInstallMessageHandler(&LogCapture::handle))
    {
        std::lock_guard lock(s_mutex);
        s_current = this;
    }
    ~LogCapture()
    {
        qInstallMessageHandler(m_previous);
        std::lock_guard lock(s_mutex); // a line being written on another thread ends first
        s_current = nullptr;
    }
    QStringList lines() const
    {
        std::lock_guard lock(s_mutex);
        return QStringList(m_lines.begin(), m_lines.end()); // a copy that shares nothing with the list
    }
    int count(const QString &prefix) const
    {
        const QStringList all = lines();
        return int(std::count_if(all.begin(), all.end(), [&](const QString &l) { return l.startsWith(prefix); }));
    }

private:
    static void handle(QtMsgType type, const QMessageLogContext &context, const QString &message)
    {
        std::lock_guard lock(s_mutex);
        if (LogCapture *self = s_current) {
            const QString category = QString::fromUtf8(context.category ? context.category : "default");
            self->m_lines << category.section(QLatin1Char('.'), -1) + QStringLiteral(": ") + message;
            if (self->m_previous)
                self->m_previous(type, context, message);
        }
    }
    static inline std::mutex s_mutex;
    static inline LogCapture *s_current = nullptr;
    QStringList m_lines;
    QtMessageHandler m_previous;
};
