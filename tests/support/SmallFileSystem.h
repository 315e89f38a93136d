#pragma once

#include <QDir>
#include <QFile>

#include <sched.h>
#include <sys/mount.h>
#include <unistd.h>

// A real, small file system (tmpfs) on a folder, in a mount namespace of the test's own that nothing propagates
// back from. Mounting needs root; where that is not allowed, mount() is false and the test skips.
namespace SmallFileSystem {

// Moves the calling thread into its own mount namespace, once (threads started earlier stay); false if not allowed.
inline bool ownMountNamespace()
{
    static const bool unshared = geteuid() == 0 && ::unshare(CLONE_NEWNS) == 0
        && ::mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
    return unshared;
}

inline bool mount(const QString &path, const QByteArray &size = "100k")
{
    return ownMountNamespace() && QDir().mkpath(path)
        && ::mount("tmpfs", QFile::encodeName(path).constData(), "tmpfs", 0, ("size=" + size).constData()) == 0;
}

inline void unmount(const QString &path)
{
    ::umount2(QFile::encodeName(path).constData(), MNT_DETACH);
}

// Fills the file system that holds `folder` until no byte more fits; true when it is full.
inline bool fill(const QString &folder)
{
    QFile filler(folder + QStringLiteral("/filler"));
    if (!filler.open(QIODevice::WriteOnly | QIODevice::Unbuffered))
        return false;
    const QByteArray block(4096, 'f');
    while (filler.write(block) > 0) { }
    return filler.error() == QFileDevice::ResourceError; // ENOSPC
}

} // namespace SmallFileSystem
