#include "captioning/PermissionManager.h"

#include "base/Log.h"

#include <QCoreApplication>
#include <QMetaObject>

QString permissionStateName(PermissionState state)
{
    switch (state) {
    case PermissionState::granted:
        return QStringLiteral("granted");
    case PermissionState::denied:
        return QStringLiteral("denied");
    case PermissionState::restricted:
        return QStringLiteral("restricted");
    case PermissionState::undetermined:
        return QStringLiteral("undetermined");
    }
    return QStringLiteral("denied");
}

namespace {

// Runs `call` on the main thread on a later turn of its event loop.
void postToMain(std::function<void()> call)
{
    QMetaObject::invokeMethod(QCoreApplication::instance(), std::move(call), Qt::QueuedConnection);
}

} // namespace

PermissionManager::PermissionManager(std::shared_ptr<PermissionService> service) : m_service(std::move(service))
{ }

PermissionState PermissionManager::mapSpeechStatus(int status)
{
    switch (status) {
    case PermissionService::NotDetermined:
        return PermissionState::undetermined;
    case PermissionService::Denied:
        return PermissionState::denied;
    case PermissionService::Restricted:
        return PermissionState::restricted;
    case PermissionService::Authorized:
        return PermissionState::granted;
    default:
        return PermissionState::denied;
    }
}

PermissionState PermissionManager::speechStatus()
{
    const PermissionState state = mapSpeechStatus(m_service->speechAuthorizationStatus());
    SLOG_INFO(lcPermissions, "Speech status %{public}s", permissionStateName(state));
    return state;
}

void PermissionManager::requestSpeech(Completion completion)
{
    m_service->requestSpeechAuthorization([completion = std::move(completion)](int status) {
        postToMain([completion, status] {
            const bool known = status >= PermissionService::NotDetermined && status <= PermissionService::Authorized;
            const PermissionState state = mapSpeechStatus(status);
            SLOG_INFO(lcPermissions, "Speech request result %{public}s",
                known ? permissionStateName(state) : QStringLiteral("unknown"));
            if (completion)
                completion(state);
        });
    });
}

PermissionState PermissionManager::screenStatus()
{
    const PermissionState state = m_service->screenCaptureAccess() ? PermissionState::granted : PermissionState::denied;
    SLOG_INFO(lcPermissions, "Screen status %{public}s", permissionStateName(state));
    return state;
}

void PermissionManager::requestScreen(Completion completion)
{
    const PermissionState state
        = m_service->requestScreenCaptureAccess() ? PermissionState::granted : PermissionState::denied;
    SLOG_INFO(lcPermissions, "Screen request result %{public}s", permissionStateName(state));
    postToMain([completion = std::move(completion), state] {
        if (completion)
            completion(state);
    });
}
