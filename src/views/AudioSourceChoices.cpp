#include "views/AudioSourceChoices.h"

#include <QCoreApplication>

namespace {

QString translated(const char *text)
{
    return QCoreApplication::translate("AudioSourceChoices", text);
}

} // namespace

QList<AudioSourceChoice> audioSourceChoices(const AudioCaptureContent &content, const AudioSource &current)
{
    QList<AudioSourceChoice> choices;
    choices.append({ translated("All System Sound"), AudioSource::system(), current.isSystem(),
        QStringLiteral("audio-speakers") });

    QList<AudioSourceChoice> applications;
    for (const AudioApplication &application : content.applications)
        applications.append({ application.name, AudioSource::application(application.name),
            current == AudioSource::application(application.name), application.iconName });
    if (current.kind == AudioSource::Kind::Application && !content.hasApplication(current.name))
        applications.append({ translated("%1 (not playing)").arg(current.name), current, true });
    if (!applications.isEmpty()) {
        choices.append({ translated("Applications"), std::nullopt });
        choices.append(applications);
    }

    QList<AudioSourceChoice> inputs;
    for (const AudioInput &input : content.inputs)
        inputs.append({ input.description, AudioSource::input(input.name), current == AudioSource::input(input.name),
            QStringLiteral("audio-input-microphone") });
    if (current.kind == AudioSource::Kind::Input && !content.findInput(current.name))
        inputs.append({ translated("%1 (unavailable)").arg(current.name), current, true });
    if (!inputs.isEmpty()) {
        choices.append({ translated("Microphones"), std::nullopt });
        choices.append(inputs);
    }
    return choices;
}
