#pragma once

#include "captioning/PermissionService.h"

#include <QThread>

#include <functional>
#include <memory>
#include <vector>

// Answers whatever a test sets, including statuses the gatekeeper never reports. Speech requests are
// held until the test answers them, from another thread, as a real prompt would be.
class FakePermissionService final : public PermissionService
{
public:
    int speechStatus = Authorized;
    bool screenAccess = true;
    int speechRequests = 0;
    std::vector<std::function<void(int)>> pendingSpeech;

    int speechAuthorizationStatus() override { return speechStatus; }
    void requestSpeechAuthorization(std::function<void(int)> handler) override
    {
        ++speechRequests;
        pendingSpeech.push_back(std::move(handler));
    }
    bool screenCaptureAccess() override { return screenAccess; }
    bool requestScreenCaptureAccess() override { return screenAccess; }
    // Answers every pending speech request with `status` on a thread of its own.
    void answerSpeechFromWorker(int status)
    {
        std::unique_ptr<QThread> worker(QThread::create([handlers = std::exchange(pendingSpeech, {}), status] {
            for (const auto &h : handlers)
                h(status);
        }));
        worker->start();
        worker->wait();
    }
};
