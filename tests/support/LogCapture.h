#pragma once

#include <QStringList>

#include <algorithm>
#include <mutex>

// Collects the log lines written while it lives, from any thread, as "Category: message" (the last
// segment of the category's name). Lines still reach the previous handler.
class LogCapture final
{
public:
    LogCapture() : m_previous(qInstallMessageHandler(&LogCapture::handle))
    {
        std::lock_guard lock(s_installed);
        s_current = this;
    }
    ~LogCapture()
    {
        qInstallMessageHandler(m_previous);
        std::lock_guard lock(s_installed); // a line being written on another thread ends first
        s_current = nullptr;
    }
    LogCapture(const LogCapture &) = delete;
    LogCapture &operator=(const LogCapture &) = delete;

    QStringList lines() const
    {
        std::lock_guard lock(m_mutex);
        QStringList copy = m_lines;
        copy.detach(); // nothing shared with the list that other threads append to
        return copy;
    }
    // Lines that begin with `prefix`.
    int count(const QString &prefix) const
    {
        const QStringList all = lines();
        return int(std::count_if(all.begin(), all.end(), [&](const QString &l) { return l.startsWith(prefix); }));
    }

private:
    static void handle(QtMsgType type, const QMessageLogContext &context, const QString &message)
    {
        std::lock_guard lock(s_installed);
        if (LogCapture *self = s_current) {
            const QString category = QString::fromUtf8(context.category ? context.category : "default");
            {
                std::lock_guard lock(self->m_mutex);
                self->m_lines << category.section(QLatin1Char('.'), -1) + QStringLiteral(": ") + message;
            }
            if (self->m_previous)
                self->m_previous(type, context, message);
        }
    }

    static inline std::mutex s_installed;
    static inline LogCapture *s_current = nullptr;
    mutable std::mutex m_mutex;
    QStringList m_lines;
    QtMessageHandler m_previous;
};
