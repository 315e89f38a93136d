#include "base/Log.h"

#include <QTest>

#include <limits>

using namespace Qt::StringLiterals;

class LogTest final : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    // Conversions and privacy markers as the system log writes them; a missing argument or a malformed marker
    // shows in the line rather than reading past the arguments.
    void formatsConversionsAndMarkers()
    {
        const auto format = [](const char *text, std::initializer_list<Log::Arg> args) {
            return Log::format(text, std::span<const Log::Arg>(args.begin(), args.size()));
        };
        const std::pair<QString, QString> rows[] = {
            { format("Speech status %{public}s", { "granted" }), u"Speech status granted"_s },
            { format("Locale %{public}@ set", { u"fr-FR"_s }), u"Locale fr-FR set"_s },
            { format("running %{bool}d", { 0 }), u"running false"_s },
            { format("frames %u", { 341u }), u"frames 341"_s },
            { format("length %ld", { std::numeric_limits<long>::min() }), u"length -9223372036854775808"_s },
            { format("rate %f", { 16000.0 }), u"rate 16000.000000"_s },
            { format("100%% done", {}), u"100% done"_s },
            { format("a %s b %d", { "x" }), u"a x b <missing>"_s },
            { format("%s", { static_cast<const char *>(nullptr) }), u"(null)"_s },
            { format("%{public", { "x" }), u"%{public"_s },
            { format("%q %s", { "x" }), u"%q x"_s },
        };
        for (const auto &[line, expected] : rows)
            QCOMPARE(line, expected);
    }
};

QTEST_GUILESS_MAIN(LogTest)
#include "LogTest.moc"
