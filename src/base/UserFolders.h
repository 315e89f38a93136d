#pragma once

#include <QByteArray>
#include <QString>

// The user's own folders, by the XDG base-directory and user-directory rules, read afresh on every call.
// QStandardPaths on Qt 6.4 takes a relative XDG_CONFIG_HOME as it is (files then land under whatever folder
// the program was started in), makes "/" of an unset HOME, and takes any value of user-dirs.dirs, "/" and
// '""' included. Here a relative value is invalid and ignored, as the rules say, and no folder is ever given
// whose making would put a folder at the root of the file system: an empty result means that no sound place
// exists, which the caller reports instead of making one somewhere else.
class UserFolders final
{
public:
    // $HOME, or the account's home folder when HOME is unset or relative; empty when neither is absolute.
    static QString home();
    // $XDG_CONFIG_HOME, or <home>/.config when that is unset, relative or not sound.
    static QString configHome();
    // XDG_DOCUMENTS_DIR of <configHome>/user-dirs.dirs, or <home>/Documents when it is missing or unusable.
    static QString documents();
    // XDG_DOWNLOAD_DIR of <configHome>/user-dirs.dirs, or <home>/Downloads when it is missing or unusable.
    static QString downloads();

    // Whether `path` may hold the user's files: absolute, not the root, and in a folder of the root that
    // exists, so that making it never makes a folder at the root.
    static bool isSound(const QString &path);
    // The value of `key` (XDG_DOCUMENTS_DIR, say) in the text of a user-dirs.dirs file, with "$HOME" replaced
    // by `home`; empty when it is missing or not an absolute path.
    static QString userDirValue(const QByteArray &userDirsFile, const QByteArray &key, const QString &home);

private:
    static QString userDir(const QByteArray &key, const QString &fallbackName);
};
