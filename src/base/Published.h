#pragma once

#include "base/ObjectWillChange.h"
#include "base/Subject.h"

#include <utility>

// A stored value that tells its subscribers about every store before the value is held, also when the
// new value equals the old one. A new subscriber receives the current value first. Owned by an
// observable object whose objectWillChange fires before each store. Stores happen on the owner's thread.
template <typename T> class Published final
{
public:
    explicit Published(T initial, ObjectWillChange *owner = nullptr) : m_value(std::move(initial)), m_owner(owner) { }
    Published(const Published &) = delete;
    Published &operator=(const Published &) = delete;

    const T &get() const { return m_value; }
    operator const T &() const { return m_value; }

    void set(T value)
    {
        if (m_owner)
            m_owner->send();
        m_subject.send(value);
        m_value = std::move(value);
    }
    Published &operator=(T value)
    {
        set(std::move(value));
        return *this;
    }

    // The handler runs at once with the current value, then synchronously for every store.
    [[nodiscard]] Subscription subscribe(typename Subject<T>::Handler handler)
    {
        handler(m_value);
        return m_subject.subscribe(std::move(handler));
    }

    // Every value, the current one included, is delivered on a later turn of the event loop of
    // `context`'s thread (normally the main thread). The handler never runs inside set().
    [[nodiscard]] Subscription subscribeOn(QObject *context, typename Subject<T>::Handler handler)
    {
        auto alive = std::make_shared<std::atomic<bool>>(true);
        auto post = Subject<T>::queued(context, std::move(handler), alive);
        post(m_value);
        auto inner = std::make_shared<Subscription>(m_subject.subscribe(std::move(post)));
        return Subscription([inner, alive] {
            alive->store(false, std::memory_order_release);
            inner->cancel();
        });
    }

private:
    T m_value;
    ObjectWillChange *m_owner;
    Subject<T> m_subject;
};
