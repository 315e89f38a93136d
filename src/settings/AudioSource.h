#pragma once

#include <QString>

// What captions listen to: everything the computer plays, the sound of one application, or one input
// device (a microphone). Kept in the settings as "system", "app:<name>" or "input:<source name>".
struct AudioSource {
    enum class Kind { System, Application, Input };

    Kind kind = Kind::System;
    QString name; // the application's name, or the sound server's name for the input device

    // Longer names are no application's or device's: a hand edit gone wrong.
    static constexpr qsizetype maxNameLength = 512;

    static AudioSource system() { return {}; }
    static AudioSource application(const QString &name) { return { Kind::Application, name }; }
    static AudioSource input(const QString &name) { return { Kind::Input, name }; }

    // A damaged value (unknown kind, empty name, a name too long or holding control characters) is the
    // whole mix.
    static AudioSource fromSetting(const QString &value);
    QString settingValue() const;

    bool isSystem() const { return kind == Kind::System; }
    friend bool operator==(const AudioSource &, const AudioSource &) = default;
};
