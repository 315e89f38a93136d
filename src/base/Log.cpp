#include "base/Log.h"

#include <QMessageLogger>

#include <cmath>
#include <cstdio>
#include <cstring>

Q_LOGGING_CATEGORY(lcApp, "com.ambrite.sonorel.App", QtInfoMsg)
Q_LOGGING_CATEGORY(lcCaptions, "com.ambrite.sonorel.Captions", QtInfoMsg)
Q_LOGGING_CATEGORY(lcAudio, "com.ambrite.sonorel.Audio", QtInfoMsg)
Q_LOGGING_CATEGORY(lcSpeech, "com.ambrite.sonorel.Speech", QtInfoMsg)
Q_LOGGING_CATEGORY(lcPermissions, "com.ambrite.sonorel.Permissions", QtInfoMsg)
Q_LOGGING_CATEGORY(lcUpdater, "com.ambrite.sonorel.Updater", QtInfoMsg)

namespace Log {

std::int64_t Arg::asSigned() const
{
    switch (m_kind) {
    case Kind::Signed:
        return m_signed;
    case Kind::Unsigned:
        return static_cast<std::int64_t>(m_unsigned);
    case Kind::Real:
        return std::isfinite(m_real) ? static_cast<std::int64_t>(m_real) : 0;
    case Kind::Bool:
        return m_bool ? 1 : 0;
    case Kind::Utf8:
    case Kind::Text:
        return 0;
    }
    return 0;
}

std::uint64_t Arg::asUnsigned() const
{
    return m_kind == Kind::Unsigned ? m_unsigned : static_cast<std::uint64_t>(asSigned());
}

double Arg::asReal() const
{
    switch (m_kind) {
    case Kind::Real:
        return m_real;
    case Kind::Unsigned:
        return static_cast<double>(m_unsigned);
    default:
        return static_cast<double>(asSigned());
    }
}

bool Arg::asBool() const
{
    switch (m_kind) {
    case Kind::Bool:
        return m_bool;
    case Kind::Real:
        return m_real != 0.0;
    case Kind::Unsigned:
        return m_unsigned != 0;
    default:
        return asSigned() != 0;
    }
}

QString Arg::asText() const
{
    switch (m_kind) {
    case Kind::Utf8:
        return QString::fromUtf8(m_utf8.data(), qsizetype(m_utf8.size()));
    case Kind::Text:
        return *m_text;
    case Kind::Bool:
        return m_bool ? QStringLiteral("true") : QStringLiteral("false");
    case Kind::Signed:
        return QString::number(m_signed);
    case Kind::Unsigned:
        return QString::number(m_unsigned);
    case Kind::Real:
        return QString::number(m_real, 'f', 6);
    }
    return {};
}

namespace {

bool isLengthModifier(char c)
{
    return c == 'l' || c == 'h' || c == 'z' || c == 'j' || c == 't' || c == 'q' || c == 'L';
}

} // namespace

QString format(const char *fmt, std::span<const Arg> args)
{
    QString out;
    if (!fmt)
        return out;
    size_t next = 0;
    const char *p = fmt;
    const char *literal = p;
    auto flushLiteral = [&](const char *end) {
        if (end > literal)
            out += QString::fromUtf8(literal, qsizetype(end - literal));
    };
    while (*p) {
        if (*p != '%') {
            ++p;
            continue;
        }
        flushLiteral(p);
        const char *start = p++;
        if (*p == '%') {
            out += QLatin1Char('%');
            literal = ++p;
            continue;
        }
        bool asBool = false;
        if (*p == '{') {
            const char *close = std::strchr(p, '}');
            if (!close) {
                literal = start;
                p = start + 1;
                continue;
            }
            asBool = std::string_view(p + 1, size_t(close - p - 1)) == "bool";
            p = close + 1;
        }
        while (*p == '-' || *p == '+' || *p == ' ' || *p == '#' || *p == '0')
            ++p;
        while (*p >= '0' && *p <= '9')
            ++p;
        int precision = -1;
        if (*p == '.') {
            ++p;
            precision = 0;
            while (*p >= '0' && *p <= '9')
                precision = precision * 10 + (*p++ - '0');
        }
        while (isLengthModifier(*p))
            ++p;
        const char conversion = *p;
        if (!conversion) {
            literal = start;
            break;
        }
        ++p;
        literal = p;
        if (next >= args.size()) {
            out += QStringLiteral("<missing>");
            continue;
        }
        const Arg &arg = args[next++];
        if (asBool) {
            out += arg.asBool() ? QStringLiteral("true") : QStringLiteral("false");
            continue;
        }
        switch (conversion) {
        case 'd':
        case 'i':
            out += arg.kind() == Arg::Kind::Unsigned ? QString::number(arg.asUnsigned())
                                                     : QString::number(arg.asSigned());
            break;
        case 'u':
            out += QString::number(arg.asUnsigned());
            break;
        case 'x':
            out += QString::number(arg.asUnsigned(), 16);
            break;
        case 'f':
        case 'F':
        case 'g':
        case 'e': {
            const double v = arg.asReal();
            out += QString::number(v, conversion == 'F' ? 'f' : conversion, precision < 0 ? 6 : precision);
            break;
        }
        case 's':
        case '@':
            out += arg.asText();
            break;
        default:
            // Not a conversion this log knows: keep the text as it was written.
            out += QString::fromUtf8(start, qsizetype(p - start));
            --next;
            break;
        }
    }
    flushLiteral(p);
    return out;
}

void write(const QLoggingCategory &category, QtMsgType type, const char *fmt, std::span<const Arg> args)
{
    try {
        const QByteArray text = format(fmt, args).toUtf8();
        QMessageLogger logger(nullptr, 0, nullptr, category.categoryName());
        switch (type) {
        case QtDebugMsg:
            logger.debug("%s", text.constData());
            break;
        case QtInfoMsg:
            logger.info("%s", text.constData());
            break;
        default:
            logger.critical("%s", text.constData());
            break;
        }
    } catch (...) {
        // Out of memory while formatting: the line is lost, the caller goes on.
    }
}

} // namespace Log
