#pragma once

#include <functional>
#include <memory>
#include <utility>

// Destroys objects on a thread of its own, so that destructors that wait (a worker thread's join, a
// library's free behind a lock another thread holds while it loads) never stall the thread that lets go
// of the last reference, which is usually the GUI thread. Work runs in the order it was handed over.
// Once the process has begun to exit, work runs at once on the caller's thread.
namespace BackgroundDisposal {

void run(std::function<void()> work);

// A shared object whose destruction, wherever its last reference goes, happens on the disposal thread.
template <typename T, typename... Args> std::shared_ptr<T> makeShared(Args &&...args)
{
    return std::shared_ptr<T>(new T(std::forward<Args>(args)...), [](T *object) { run([object] { delete object; }); });
}

} // namespace BackgroundDisposal
