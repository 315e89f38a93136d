#pragma once

#include <QString>
#include <QStringList>
#include <QtGlobal>

#include <mutex>

// Collects the log lines written while it lives, from any thread, as "Category: message" (the
// category's last name segment). Lines still reach the previous handler.
class LogCapture final
{
public:
    LogCapture()
    {
        instance() = this;
        m_previous = qInstallMessageHandler(&LogCapture::handle);
    }
    ~LogCapture()
    {
        qInstallMessageHandler(m_previous);
        instance() = nullptr;
    }
    LogCapture(const LogCapture &) = delete;
    LogCapture &operator=(const LogCapture &) = delete;

    QStringList lines() const
    {
        std::lock_guard lock(m_mutex);
        return m_lines;
    }
    int count(const QString &line) const { return int(lines().count(line)); }
    bool contains(const QString &line) const { return lines().contains(line); }
    void clear()
    {
        std::lock_guard lock(m_mutex);
        m_lines.clear();
    }

private:
    static LogCapture *&instance()
    {
        static LogCapture *current = nullptr;
        return current;
    }

    static void handle(QtMsgType type, const QMessageLogContext &context, const QString &message)
    {
        LogCapture *self = instance();
        if (!self)
            return;
        QString category = QString::fromUtf8(context.category ? context.category : "default");
        category = category.section(QLatin1Char('.'), -1);
        {
            std::lock_guard lock(self->m_mutex);
            self->m_lines << category + QStringLiteral(": ") + message;
        }
        if (self->m_previous)
            self->m_previous(type, context, message);
    }

    mutable std::mutex m_mutex;
    QStringList m_lines;
    QtMessageHandler m_previous = nullptr;
};
