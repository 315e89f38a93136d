#pragma once

#include <functional>
#include <utility>
#include <vector>

// Move-only token of a subscription: the subscription ends when the token is destroyed or reset.
class Subscription final
{
public:
    Subscription() = default;
    explicit Subscription(std::function<void()> cancel) : m_cancel(std::move(cancel)) { }
    Subscription(Subscription &&other) noexcept : m_cancel(std::exchange(other.m_cancel, {})) { }
    Subscription &operator=(Subscription &&other) noexcept
    {
        if (this != &other) {
            cancel();
            m_cancel = std::exchange(other.m_cancel, {});
        }
        return *this;
    }
    Subscription(const Subscription &) = delete;
    Subscription &operator=(const Subscription &) = delete;
    ~Subscription() { cancel(); }

    void cancel()
    {
        if (auto c = std::exchange(m_cancel, {}))
            c();
    }
    bool isActive() const { return bool(m_cancel); }

private:
    std::function<void()> m_cancel;
};

// Where owners keep their subscriptions for their whole life.
using Cancellables = std::vector<Subscription>;
