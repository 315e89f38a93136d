#include "base/BackgroundDisposal.h"

#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

namespace BackgroundDisposal {

namespace {

class Disposer final
{
public:
    Disposer() : m_thread([this] { loop(); }) { }

    // At exit: what is queued is still destroyed, then the thread ends.
    ~Disposer()
    {
        {
            std::lock_guard lock(m_mutex);
            m_stopping = true;
        }
        m_wake.notify_one();
        m_thread.join();
    }

    // False once the disposer is stopping; the caller then runs the work itself.
    bool post(std::function<void()> &work)
    {
        {
            std::lock_guard lock(m_mutex);
            if (m_stopping)
                return false;
            m_queue.push_back(std::move(work));
        }
        m_wake.notify_one();
        return true;
    }

private:
    void loop()
    {
        std::unique_lock lock(m_mutex);
        for (;;) {
            m_wake.wait(lock, [this] { return m_stopping || !m_queue.empty(); });
            if (m_queue.empty())
                return;
            std::function<void()> work = std::move(m_queue.front());
            m_queue.pop_front();
            lock.unlock();
            work();
            work = nullptr; // whatever the work held goes here too, not under the lock
            lock.lock();
        }
    }

    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::deque<std::function<void()>> m_queue;
    bool m_stopping = false;
    std::thread m_thread; // last: it starts once the rest exists
};

std::atomic<bool> g_gone = false;

struct Holder {
    Disposer disposer;
    ~Holder() { g_gone = true; }
};

} // namespace

void run(std::function<void()> work)
{
    if (!g_gone) {
        static Holder holder;
        if (holder.disposer.post(work))
            return;
    }
    work();
}

} // namespace BackgroundDisposal
