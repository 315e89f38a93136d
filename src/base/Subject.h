#pragma once

#include "base/Subscription.h"

#include <QMetaObject>
#include <QObject>
#include <QPointer>

#include <atomic>
#include <functional>
#include <memory>
#include <vector>

// Synchronous publish-and-subscribe of values of type Args... . Subscribers run in the order they
// subscribed, on the thread that sends; a subscriber may cancel itself or others, or subscribe new ones,
// while a value is being delivered.
template <typename... Args> class Subject final
{
public:
    using Handler = std::function<void(const Args &...)>;

    Subject() = default;
    Subject(const Subject &) = delete;
    Subject &operator=(const Subject &) = delete;
    ~Subject()
    {
        for (auto &e : m_state->entries)
            e->active.store(false, std::memory_order_release);
    }

    [[nodiscard]] Subscription subscribe(Handler handler)
    {
        auto entry = std::make_shared<Entry>(std::move(handler));
        m_state->entries.push_back(entry);
        return Subscription([weakState = std::weak_ptr<State>(m_state), weakEntry = std::weak_ptr<Entry>(entry)] {
            auto entry = weakEntry.lock();
            if (!entry)
                return;
            entry->active.store(false, std::memory_order_release);
            if (auto state = weakState.lock())
                std::erase(state->entries, entry);
        });
    }

    // Each value is posted to the thread of `context` and handled on a later turn of its event loop,
    // never inside send(). A destroyed context, or a token dropped before the turn comes, drops the value.
    [[nodiscard]] Subscription subscribeOn(QObject *context, Handler handler)
    {
        auto alive = std::make_shared<std::atomic<bool>>(true);
        auto inner = std::make_shared<Subscription>(subscribe(queued(context, std::move(handler), alive)));
        return Subscription([inner, alive] {
            alive->store(false, std::memory_order_release);
            inner->cancel();
        });
    }

    // Wraps a handler so that each call is posted to `context`'s thread; `alive` turning false drops
    // the calls that are still queued.
    static Handler queued(QObject *context, Handler handler, std::shared_ptr<std::atomic<bool>> alive)
    {
        auto target = std::make_shared<Handler>(std::move(handler));
        return [guard = QPointer<QObject>(context), target, alive](const Args &...args) {
            if (QObject *ctx = guard.data()) {
                QMetaObject::invokeMethod(
                    ctx,
                    [target, alive, args...] {
                        if (alive->load(std::memory_order_acquire))
                            (*target)(args...);
                    },
                    Qt::QueuedConnection);
            }
        };
    }

    void send(const Args &...args) const
    {
        const auto snapshot = m_state->entries;
        for (const auto &e : snapshot) {
            if (e->active.load(std::memory_order_acquire))
                e->handler(args...);
        }
    }

    bool hasSubscribers() const { return !m_state->entries.empty(); }

private:
    struct Entry {
        explicit Entry(Handler h) : handler(std::move(h)) { }
        Handler handler;
        std::atomic<bool> active { true };
    };
    struct State {
        std::vector<std::shared_ptr<Entry>> entries;
    };

    std::shared_ptr<State> m_state = std::make_shared<State>();
};
