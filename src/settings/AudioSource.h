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
    // Whether the setting holds this source as it is, not the whole mix in its place.
    bool roundTrips() const { return fromSetting(settingValue()) == *this; }

    // `text` with every control character, and every line or paragraph separator, replaced by a visible
    // stand-in: C0 controls and DEL by their control pictures (an escape shows as ␛, a tab as ␉),
    // the others by U+FFFD. Any client of the sound server names itself: a name shown or printed must not
    // act on a terminal, break a line or forge a column.
    static QString printable(const QString &text);

    bool isSystem() const { return kind == Kind::System; }
    friend bool operator==(const AudioSource &, const AudioSource &) = default;
};
