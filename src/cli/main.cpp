#include "captioning/AudioCaptureService.h"
#include "captioning/SpeechEngine.h"
#include "cli/CaptionsTool.h"
#include "platform/DesktopServices.h"
#include "platform/FfmpegAudioDecoder.h"
#include "platform/WhisperModel.h"
#include "settings/AppSettings.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QEventLoop>
#include <QLoggingCategory>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <new>
#include <unistd.h>

namespace {

// Memory running out is an error like any other: the sentences already printed (each is flushed as it
// ends) stand, and the exit status says the run failed. Nothing here may allocate or take a lock.
void outOfMemory()
{
    static const char message[] = "sonorel-captions: out of memory\n";
    [[maybe_unused]] const auto written = ::write(STDERR_FILENO, message, sizeof message - 1);
    ::_exit(2);
}

int failUsage(const QString &message)
{
    std::fprintf(stderr, "sonorel-captions: %s\n", message.toLocal8Bit().constData());
    return 2;
}

// What the sound server offers now, or nothing once the reason is printed.
std::optional<AudioCaptureContent> soundServerContent(AudioCaptureService &capture)
{
    std::optional<AudioCaptureContent> result;
    QEventLoop loop;
    capture.getShareableContent(
        [&](const std::optional<AudioCaptureContent> &content, const std::optional<PlatformError> &error) {
            if (!content)
                std::fprintf(stderr, "sonorel-captions: %s\n",
                    (error ? error->fullDescription(error->message()) : QString()).toLocal8Bit().constData());
            result = content;
            loop.quit();
        });
    loop.exec();
    return result;
}

// Prints one line for each source: the value for --source, a tab, and what it is called. The service
// gives the names of applications and devices printable, so neither can act on the terminal or add a column.
int listAudioSources(AudioCaptureService &capture)
{
    const std::optional<AudioCaptureContent> content = soundServerContent(capture);
    if (!content)
        return 2;
    const auto line = [](const AudioSource &value, const QString &name) {
        std::printf("%s\t%s\n", value.settingValue().toUtf8().constData(), name.toUtf8().constData());
    };
    line(AudioSource::system(), QStringLiteral("All System Sound"));
    for (const AudioApplication &application : content->applications)
        line(AudioSource::application(application.name), application.name);
    for (const AudioInput &input : content->inputs)
        line(AudioSource::input(input.name), input.description);
    return 0;
}

} // namespace

int main(int argc, char *argv[])
{
    WhisperModel::restartWithSleepingThreads(argv);
    std::set_new_handler(outOfMemory);
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("sonorel-captions"));
    QCoreApplication::setApplicationVersion(QStringLiteral(SONOREL_VERSION));

    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Prints live captions of what the computer plays, or of a recording, one sentence per line."));
    parser.addHelpOption();
    parser.addVersionOption();
    const QCommandLineOption language(QStringLiteral("language"),
        QStringLiteral("Recognition language, e.g. en-US (default: the app's setting)."), QStringLiteral("CODE"));
    const QCommandLineOption duration(QStringLiteral("duration"),
        QStringLiteral("Stop after this many seconds (of the file, with --input)."), QStringLiteral("SECONDS"));
    const QCommandLineOption input(QStringLiteral("input"),
        QStringLiteral("Caption an audio or video file (any format FFmpeg reads; - for standard input) "
                       "instead of live audio, as fast as the processor allows."),
        QStringLiteral("FILE"));
    const QCommandLineOption listLanguages(
        QStringLiteral("list-languages"), QStringLiteral("List the languages that can be recognised."));
    const QCommandLineOption noFrontEnd(QStringLiteral("no-front-end"),
        QStringLiteral("Give the recognizer the sound as it comes, without level and noise treatment."));
    const QCommandLineOption listSources(QStringLiteral("list-sources"),
        QStringLiteral("List what live captions can listen to: the value to pass to --source, a tab, and its name."));
    const QCommandLineOption source(QStringLiteral("source"),
        QStringLiteral("Caption live audio from this source (see --list-sources; default: system, all system sound)."),
        QStringLiteral("VALUE"));
    const QCommandLineOption format(QStringLiteral("format"),
        QStringLiteral("Output: txt (a line per sentence, the default), srt or vtt subtitles, or json "
                       "(an object per sentence with its words and their times)."),
        QStringLiteral("txt|srt|vtt|json"), QStringLiteral("txt"));
    const QCommandLineOption engine(QStringLiteral("engine"),
        QStringLiteral("Speech engine: accurate (Whisper, where its model is installed) or light (PocketSphinx; "
                       "default: the app's setting)."),
        QStringLiteral("accurate|light"));
    const QCommandLineOption verbose(QStringLiteral("verbose"), QStringLiteral("Write the diagnostic log to stderr."));
    parser.addOptions(
        { language, duration, input, format, listLanguages, listSources, source, engine, noFrontEnd, verbose });
    parser.process(app);
    if (!parser.positionalArguments().isEmpty())
        return failUsage(
            QStringLiteral("unexpected argument %1 (see --help)").arg(parser.positionalArguments().first()));

    if (!parser.isSet(verbose))
        QLoggingCategory::setFilterRules(QStringLiteral("com.ambrite.sonorel.*=false"));

    const QString engineChoice
        = parser.isSet(engine) ? parser.value(engine) : AppSettings::shared().recognitionEngine();
    if (engineChoice != AppSettings::accurateEngine && engineChoice != AppSettings::lightEngine)
        return failUsage(QStringLiteral("--engine must be accurate or light"));

    // The same services as the app; capture connects to the sound server only when captioning starts.
    const CaptioningServices services
        = makeDesktopCaptioningServices(!parser.isSet(noFrontEnd), [engineChoice] { return engineChoice; });

    if (parser.isSet(listLanguages)) {
        // Code, name and the engine that would serve it. Installed models whose language the app's table
        // lacks can still be used here.
        const QStringList supported = services.speechEngine->supportedLocales();
        QList<LanguageEntry> languages = AppSettings::filterLanguages(supported);
        for (const QString &code : supported) {
            if (std::none_of(
                    languages.begin(), languages.end(), [&](const LanguageEntry &e) { return e.code == code; }))
                languages.append({ code, code });
        }
        for (const LanguageEntry &entry : languages)
            std::printf("%s\t%s\t%s\n", entry.code.toUtf8().constData(), entry.name.toUtf8().constData(),
                services.speechEngine->engineFor(entry.code).toUtf8().constData());
        return 0;
    }

    if (parser.isSet(listSources))
        return listAudioSources(*services.capture);

    std::optional<double> seconds;
    if (parser.isSet(duration)) {
        bool ok = false;
        const double value = parser.value(duration).toDouble(&ok);
        if (!ok || !(value > 0) || value > 1e7)
            return failUsage(QStringLiteral("--duration needs a positive number of seconds"));
        seconds = value;
    }

    const auto outputFormat = TranscriptWriter::formatNamed(parser.value(format));
    if (!outputFormat)
        return failUsage(QStringLiteral("--format must be txt, srt, vtt or json"));

    // The tool's choices never change the app's own settings: it works on a private copy.
    QTemporaryDir settingsDir;
    if (!settingsDir.isValid())
        return failUsage(QStringLiteral("cannot create a temporary folder: %1").arg(settingsDir.errorString()));
    AppSettings settings(settingsDir.filePath(QStringLiteral("settings.conf")));
    if (parser.isSet(source)) {
        const AudioSource chosen = AudioSource::fromSetting(parser.value(source));
        if (chosen.isSystem() && parser.value(source) != chosen.settingValue())
            return failUsage(QStringLiteral("--source takes system, app:NAME or input:NAME (see --list-sources)"));
        // The app captures the whole mix in place of a missing device; asked for by name here, it is an error.
        if (chosen.kind == AudioSource::Kind::Input && !parser.isSet(input)) {
            const std::optional<AudioCaptureContent> content = soundServerContent(*services.capture);
            if (!content)
                return 1;
            if (!content->findInput(chosen.name))
                return failUsage(QStringLiteral("there is no input device %1 (see --list-sources)").arg(chosen.name));
        }
        settings.setAudioSource(chosen);
    }
    settings.setSelectedLanguage(
        parser.isSet(language) ? parser.value(language) : AppSettings::shared().selectedLanguage());
    const QStringList supported = services.speechEngine->supportedLocales();
    if (!supported.contains(settings.selectedLanguage())) {
        return failUsage(QStringLiteral("no speech model for language %1 (installed: %2)")
                             .arg(settings.selectedLanguage(),
                                 supported.isEmpty() ? QStringLiteral("none") : supported.join(QStringLiteral(", "))));
    }

    std::unique_ptr<AudioFileDecoder> file;
    if (parser.isSet(input)) {
        QString error;
        // A stalled pipe stops being read once a signal asks the tool to finish.
        file = FfmpegAudioDecoder::open(parser.value(input), &error, &TerminationSignals::requested);
        if (!file)
            return failUsage(error);
    }

    CaptionsTool tool(services, settings, isatty(fileno(stdout)) == 1, *outputFormat);
    TerminationSignals signalHandler([&tool] { tool.finish(); });
    if (file)
        tool.runFile(*file, seconds);
    else
        tool.runLive(seconds);
    return app.exec();
}
