#pragma once

#include "updates/FileRevealer.h"
#include "updates/UpdateAlertPresenter.h"
#include "updates/UpdateManager.h"

#include <QStringList>

// Records every update alert with the manager's state at the moment it was shown, and answers with the
// queued button indexes (the last button when none is queued).
class RecordingAlertPresenter final : public UpdateAlertPresenter
{
public:
    struct Shown {
        UpdateAlert alert;
        bool isBusy;
        std::optional<QString> statusMessage;
    };

    explicit RecordingAlertPresenter(const UpdateManager *manager) : m_manager(manager) { }

    int runModal(const UpdateAlert &alert) override
    {
        shown.append({ alert, m_manager->isBusy.get(), m_manager->statusMessage.get() });
        return answers.isEmpty() ? int(alert.buttons.size()) - 1 : answers.takeFirst();
    }

    QList<Shown> shown;
    QList<int> answers;

private:
    const UpdateManager *m_manager;
};

class RecordingFileRevealer final : public FileRevealer
{
public:
    void reveal(const QString &filePath) override { revealed.append(filePath); }
    QStringList revealed;
};
