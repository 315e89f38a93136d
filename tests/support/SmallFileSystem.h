#pragma once

#include <QDir>
#include <QFile>

#include <cerrno>
#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <unistd.h>

// A real, small file system (tmpfs) on a folder, seen only by the calling thread and the threads it starts
// from then on: it lives in a mount namespace of its own, with nothing propagating back. Mounting needs root;
// where that is not allowed, mount() is false and the test skips.
namespace SmallFileSystem {

// Moves the calling thread into a mount namespace of its own, once; false where that is not allowed. Threads
// started earlier stay where they were and do not see what is mounted here.
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

// Fills the file system that holds `folder` with a file until no byte more fits; true when it is full.
inline bool fill(const QString &folder)
{
    const int fd = ::open(QFile::encodeName(folder + QStringLiteral("/filler")).constData(),
        O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return false;
    const QByteArray block(4096, 'f');
    for (;;) {
        const ssize_t n = ::write(fd, block.constData(), std::size_t(block.size()));
        if (n > 0)
            continue;
        const bool full = n < 0 && errno == ENOSPC;
        ::close(fd);
        return full;
    }
}

} // namespace SmallFileSystem
