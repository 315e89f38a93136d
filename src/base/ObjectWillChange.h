#pragma once

#include "base/Subject.h"

// The value-less notification that an observable object sends before any of its fields changes.
// Observers read the fields themselves, after the change has been stored.
class ObjectWillChange final
{
public:
    ObjectWillChange() = default;
    ObjectWillChange(const ObjectWillChange &) = delete;
    ObjectWillChange &operator=(const ObjectWillChange &) = delete;

    void send() const { m_subject.send(); }

    // Runs synchronously inside the store, before the new value is held.
    [[nodiscard]] Subscription subscribe(std::function<void()> handler)
    {
        return m_subject.subscribe(std::move(handler));
    }

    // Runs on a later turn of `context`'s event loop: by then the value that caused it has been stored.
    [[nodiscard]] Subscription subscribeOn(QObject *context, std::function<void()> handler)
    {
        return m_subject.subscribeOn(context, std::move(handler));
    }

private:
    Subject<> m_subject;
};
