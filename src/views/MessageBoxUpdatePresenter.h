#pragma once

#include "updates/UpdateAlertPresenter.h"

// Shows the update alerts as application-modal message boxes, brought to the front first: Sonorel has no
// main window, so an alert would otherwise open behind the window the user is working in.
class MessageBoxUpdatePresenter final : public UpdateAlertPresenter
{
public:
    int runModal(const UpdateAlert &alert) override;
};
