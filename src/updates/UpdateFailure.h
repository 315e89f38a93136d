#pragma once

#include "base/PlatformError.h"
#include "updates/ManifestDecodeError.h"
#include "updates/UpdateError.h"

#include <optional>
#include <utility>
#include <variant>

// Any failure of an update operation: one of our own, a manifest that would not decode, or an error of
// the network or file layers with its own description.
class UpdateFailure final
{
public:
    UpdateFailure(UpdateError error) : m_error(std::move(error)) { }
    UpdateFailure(ManifestDecodeError error) : m_error(std::move(error)) { }
    UpdateFailure(PlatformError error) : m_error(std::move(error)) { }

    const UpdateError *updateError() const { return std::get_if<UpdateError>(&m_error); }
    const ManifestDecodeError *decodeError() const { return std::get_if<ManifestDecodeError>(&m_error); }
    const PlatformError *platformError() const { return std::get_if<PlatformError>(&m_error); }

    // What the failure alert says.
    QString description() const
    {
        return std::visit(
            [](const auto &e) -> QString {
                using E = std::decay_t<decltype(e)>;
                if constexpr (std::is_same_v<E, UpdateError>)
                    return e.errorDescription();
                else if constexpr (std::is_same_v<E, ManifestDecodeError>)
                    return e.description();
                else
                    return e.message();
            },
            m_error);
    }

private:
    std::variant<UpdateError, ManifestDecodeError, PlatformError> m_error;
};

// The value of an update step, or why it failed.
template <typename T> class UpdateResult final
{
public:
    UpdateResult(T value) : m_state(std::move(value)) { }
    UpdateResult(UpdateFailure failure) : m_state(std::move(failure)) { }
    UpdateResult(UpdateError error) : m_state(UpdateFailure(std::move(error))) { }
    UpdateResult(PlatformError error) : m_state(UpdateFailure(std::move(error))) { }

    bool ok() const { return std::holds_alternative<T>(m_state); }
    const T &value() const { return std::get<T>(m_state); }
    const UpdateFailure &failure() const { return std::get<UpdateFailure>(m_state); }

private:
    std::variant<T, UpdateFailure> m_state;
};

// A step that yields nothing but may fail.
using UpdateStatus = std::optional<UpdateFailure>;
