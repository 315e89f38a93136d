#pragma once

#include <QString>
#include <QStringList>

// One modal alert of the update subsystem, as the user sees it.
struct UpdateAlert {
    enum class Style { informational, critical };

    Style style = Style::informational;
    QString messageText;
    QString informativeText; // empty for none
    QStringList buttons; // in the order shown; the first one is the default

    friend bool operator==(const UpdateAlert &, const UpdateAlert &) = default;
};

// Shows update alerts. The application's implementation brings itself to the front and runs a modal
// message box; tests record the alerts and answer them.
class UpdateAlertPresenter
{
public:
    virtual ~UpdateAlertPresenter() = default;

    // Blocks until the user answers; returns the index in alert.buttons of the button that ended the
    // alert, or -1 when it was closed another way.
    virtual int runModal(const UpdateAlert &alert) = 0;
};
