// Prints the cost of a log line whose level is off (the per-buffer debug lines in normal use) and of one
// that is written. Run from a release build: build/release/bench/bench_log
#include "base/Log.h"

#include <QCoreApplication>
#include <QElapsedTimer>

#include <cstdio>

namespace {

void discard(QtMsgType, const QMessageLogContext &, const QString &)
{ }

template <typename F> double nanosecondsPerCall(int iterations, F &&body)
{
    QElapsedTimer timer;
    timer.start();
    for (int i = 0; i < iterations; ++i)
        body(i);
    return double(timer.nsecsElapsed()) / iterations;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QLoggingCategory::setFilterRules(QStringLiteral("com.ambrite.sonorel.*.debug=false"));

    const int disabledIterations = 50'000'000;
    nanosecondsPerCall(1'000'000, [](int i) { SLOG_DEBUG(lcAudio, "Delivered buffer frames %u", unsigned(i)); });
    const double disabled = nanosecondsPerCall(
        disabledIterations, [](int i) { SLOG_DEBUG(lcAudio, "Delivered buffer frames %u", unsigned(i)); });

    // Enabled lines go through formatting and Qt's message machinery into a handler that drops them,
    // so the figure is ours and Qt's, not the terminal's.
    QLoggingCategory::setFilterRules(QStringLiteral("com.ambrite.sonorel.*.debug=true"));
    qInstallMessageHandler(discard);
    const int enabledIterations = 500'000;
    const QString locale = QStringLiteral("en-US");
    const double enabled = nanosecondsPerCall(enabledIterations, [&](int i) {
        SLOG_DEBUG(
            lcSpeech, "Recognition update chars %ld locale %{public}s final %{bool}d", long(i), locale, (i & 1) != 0);
    });

    std::printf("disabled debug line: %.2f ns per call (target under 20 ns)\n", disabled);
    std::printf("enabled debug line:  %.1f ns per call (formatted, delivered to a discarding handler)\n", enabled);
    return 0;
}
