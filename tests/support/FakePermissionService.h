#pragma once

#include "captioning/PermissionService.h"

#include <QThread>

#include <functional>
#include <memory>
#include <vector>

// Answers what a test sets; speech requests wait for the test to answer them from another thread.
class FakePermissionService final : public PermissionService
{
public:
    int speechStatus = Authorized;
    int speechRequests = 0;
    std::vector<std::function<void(int)>> pendingSpeech;

    int speechAuthorizationStatus() override { return speechStatus; }
    void requestSpeechAuthorization(std::function<void(int)> handler) override
    {
        ++speechRequests;
        pendingSpeech.push_back(std::move(handler));
    }
    bool screenCaptureAccess() override { return true; }
    bool requestScreenCaptureAccess() override { return true; }
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
