#pragma once

#include <QByteArray>
#include <QString>

// Sonorel's entry in the desktop's list of programs started at login: a desktop entry in
// $XDG_CONFIG_HOME/autostart (~/.config/autostart by default). The entry we write carries a key of our
// own, so that turning the setting off removes ours and never an entry the user made for Sonorel.
class XdgAutostart final
{
public:
    static inline const QString desktopId = QStringLiteral("sonorel");
    static inline const QByteArray ownerKey = QByteArrayLiteral("X-Sonorel-Autostart");

    // What is at an entry's place. A link is the user's, since we never make one; an empty file is what a
    // failed write of an earlier version left, which nothing reads.
    enum class Occupant { Nothing, Ours, UsersEntry, NotAFile };

    // Where the entry named `id` goes, for the current environment; empty when the environment names no
    // sound configuration folder.
    static QString entryPath(const QString &id = desktopId);
    // The entry that starts `program`: the bare name when it is the one found on PATH, else its full path.
    static QByteArray entryFor(const QString &program);
    // An Exec value that runs `program` with no arguments; empty when no launcher could start it from one.
    static QString execValue(const QString &program);
    // Whether `contents` is an entry that we wrote: its main group holds our key set to true. Anything
    // else, malformed files included, is the user's.
    static bool isOurs(const QByteArray &contents);
    static Occupant occupant(const QString &path);
    // The user's own entry at entryPath(), which starts Sonorel at login and which we leave alone; empty
    // when there is none.
    static QString usersOwnEntry();

    // Writes our entry at `path`, whole or not at all, or removes it when it is ours. An entry of the user's is
    // never written over or removed: turning on fails over it. On failure, returns false with the reason in
    // `error`.
    static bool apply(const QString &path, bool startAtLogin, const QString &program, QString *error);
    // apply() for the running program at entryPath(), with a failure logged: the settings' login applier.
    static bool applyForThisProgram(bool startAtLogin);
};
