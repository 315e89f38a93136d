#pragma once

#include "SmallFileSystem.h" // also for the file and mount calls

#include <cstring>
#include <fcntl.h>
#include <linux/fuse.h>
#include <mutex>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <thread>

// Storage that stops answering, as a hung network share does: a FUSE file system, served straight on /dev/fuse by
// a thread of its own, whose root can be looked at but whose every other call never returns. When it goes, the
// connection is aborted, so waiting calls fail, and the folder is unmounted. Mounting needs root and is done in the
// test's own mount namespace (SmallFileSystem), seen by threads started after it; isMounted() says if it worked.
class StalledFileSystem final
{
public:
    explicit StalledFileSystem(const QString &path) : m_path(path)
    {
        if (m_device < 0 || m_stop < 0 || !SmallFileSystem::ownMountNamespace() || !QDir().mkpath(path))
            return;
        const QByteArray options = "fd=" + QByteArray::number(m_device) + ",rootmode=40000,user_id=0,group_id=0";
        m_mounted
            = ::mount("stalled", QFile::encodeName(path).constData(), "fuse", MS_NOSUID | MS_NODEV, options.data())
            == 0;
        if (m_mounted)
            m_thread = std::thread([this] { serve(); });
    }
    ~StalledFileSystem()
    {
        abort();
        if (m_mounted)
            SmallFileSystem::unmount(m_path);
    }
    Q_DISABLE_COPY_MOVE(StalledFileSystem)

    bool isMounted() const { return m_mounted; }

    // Every call that waits fails at once, and later ones too; from any thread, once.
    void abort()
    {
        std::call_once(m_aborted, [this] {
            if (m_thread.joinable()) {
                const std::uint64_t one = 1;
                [[maybe_unused]] const auto written = ::write(m_stop, &one, sizeof one);
                m_thread.join();
            }
            ::close(m_device); // the last reference: the kernel aborts the connection
            ::close(m_stop);
        });
    }

private:
    template <typename Body> void reply(const fuse_in_header &request, const Body &body)
    {
        struct {
            fuse_out_header header;
            Body body;
        } out { { std::uint32_t(sizeof out), 0, request.unique }, body };
        [[maybe_unused]] const auto written = ::write(m_device, &out, sizeof out);
    }

    void serve()
    {
        QByteArray buffer(1 << 20, '\0');
        for (;;) {
            pollfd waits[2] = { { m_device, POLLIN, 0 }, { m_stop, POLLIN, 0 } };
            if (::poll(waits, 2, -1) < 0 || waits[1].revents)
                return;
            if (::read(m_device, buffer.data(), std::size_t(buffer.size())) < ssize_t(sizeof(fuse_in_header)))
                continue;
            fuse_in_header request {};
            std::memcpy(&request, buffer.constData(), sizeof request);
            if (request.opcode == FUSE_INIT) {
                fuse_init_in in {};
                std::memcpy(&in, buffer.constData() + sizeof request, sizeof in);
                fuse_init_out out {};
                out.major = FUSE_KERNEL_VERSION;
                out.minor = std::min<std::uint32_t>(in.minor, FUSE_KERNEL_MINOR_VERSION);
                out.max_readahead = in.max_readahead;
                out.max_write = 4096;
                out.time_gran = 1;
                reply(request, out);
            } else if (request.opcode == FUSE_GETATTR && request.nodeid == FUSE_ROOT_ID) {
                fuse_attr_out out {};
                out.attr.ino = FUSE_ROOT_ID;
                out.attr.mode = S_IFDIR | 0755;
                out.attr.nlink = 2;
                out.attr.blksize = 4096;
                reply(request, out);
            }
            // Anything else waits for ever: no answer is given.
        }
    }

    const QString m_path;
    int m_device = ::open("/dev/fuse", O_RDWR | O_CLOEXEC | O_NONBLOCK), m_stop = ::eventfd(0, EFD_CLOEXEC);
    bool m_mounted = false;
    std::thread m_thread;
    std::once_flag m_aborted;
};
