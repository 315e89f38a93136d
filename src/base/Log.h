#pragma once

#include <QLoggingCategory>
#include <QString>

#include <array>
#include <concepts>
#include <cstdint>
#include <span>
#include <string_view>
#include <type_traits>

// Diagnostic log of Sonorel: one category per subsystem under "com.ambrite.sonorel", three levels
// (debug, info, error) and printf-style formats with the markers "%{public}s", "%{public}@" and
// "%{bool}d". A line is formatted only when its level is enabled for its category, so per-buffer debug
// lines cost one atomic load when debug output is off. Writing never throws and works from any thread.

Q_DECLARE_LOGGING_CATEGORY(lcApp)
Q_DECLARE_LOGGING_CATEGORY(lcCaptions)
Q_DECLARE_LOGGING_CATEGORY(lcAudio)
Q_DECLARE_LOGGING_CATEGORY(lcSpeech)
Q_DECLARE_LOGGING_CATEGORY(lcPermissions)
Q_DECLARE_LOGGING_CATEGORY(lcUpdater)

namespace Log {

// One formatting argument, taken by value or by reference to data that outlives the call.
class Arg final
{
public:
    enum class Kind { Signed, Unsigned, Real, Bool, Utf8, Text };

    template <typename T>
    requires(std::integral<T> &&std::is_signed_v<T> && !std::same_as<T, bool> && !std::same_as<T, char>) Arg(T v)
        : m_kind(Kind::Signed), m_signed(v)
    { }
    template <typename T>
    requires(std::integral<T> &&std::is_unsigned_v<T> && !std::same_as<T, bool>) Arg(T v)
        : m_kind(Kind::Unsigned), m_unsigned(v)
    { }
    template <typename T>
    requires std::floating_point<T> Arg(T v) : m_kind(Kind::Real), m_real(static_cast<double>(v)) { }
    Arg(bool v) : m_kind(Kind::Bool), m_bool(v) { }
    Arg(const char *v) : m_kind(Kind::Utf8), m_utf8(v ? std::string_view(v) : std::string_view("(null)")) { }
    Arg(std::string_view v) : m_kind(Kind::Utf8), m_utf8(v) { }
    Arg(const QByteArray &v) : m_kind(Kind::Utf8), m_utf8(v.constData(), size_t(v.size())) { }
    Arg(const QString &v) : m_kind(Kind::Text), m_text(&v) { }

    Kind kind() const { return m_kind; }
    std::int64_t asSigned() const;
    std::uint64_t asUnsigned() const;
    double asReal() const;
    bool asBool() const;
    QString asText() const;

private:
    Kind m_kind;
    union {
        std::int64_t m_signed;
        std::uint64_t m_unsigned;
        double m_real;
        bool m_bool;
        std::string_view m_utf8;
        const QString *m_text;
    };
};

// Expands a format with its arguments. A missing argument prints "<missing>", surplus arguments are
// ignored, and an unknown conversion is printed as written: a log line must never fail.
QString format(const char *fmt, std::span<const Arg> args);

void write(const QLoggingCategory &category, QtMsgType type, const char *fmt, std::span<const Arg> args);

template <typename... Args>
inline void line(const QLoggingCategory &category, QtMsgType type, const char *fmt, const Args &...args)
{
    const std::array<Arg, sizeof...(Args)> packed { Arg(args)... };
    write(category, type, fmt, packed);
}

} // namespace Log

// The level test comes first so that the arguments are not even evaluated when the level is off.
#define SLOG_DEBUG(category, ...)                                                                                      \
    do {                                                                                                               \
        const QLoggingCategory &sonorelLogCategory_ = category();                                                      \
        if (sonorelLogCategory_.isDebugEnabled())                                                                      \
            Log::line(sonorelLogCategory_, QtDebugMsg, __VA_ARGS__);                                                   \
    } while (false)

#define SLOG_INFO(category, ...)                                                                                       \
    do {                                                                                                               \
        const QLoggingCategory &sonorelLogCategory_ = category();                                                      \
        if (sonorelLogCategory_.isInfoEnabled())                                                                       \
            Log::line(sonorelLogCategory_, QtInfoMsg, __VA_ARGS__);                                                    \
    } while (false)

#define SLOG_ERROR(category, ...)                                                                                      \
    do {                                                                                                               \
        const QLoggingCategory &sonorelLogCategory_ = category();                                                      \
        if (sonorelLogCategory_.isCriticalEnabled())                                                                   \
            Log::line(sonorelLogCategory_, QtCriticalMsg, __VA_ARGS__);                                                \
    } while (false)
