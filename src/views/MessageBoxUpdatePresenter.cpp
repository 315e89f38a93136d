#include "views/MessageBoxUpdatePresenter.h"

#include "views/AlertSizing.h"

#include <QAbstractButton>
#include <QMessageBox>
#include <QPushButton>

int MessageBoxUpdatePresenter::runModal(const UpdateAlert &alert)
{
    QMessageBox box;
    box.setWindowTitle(QStringLiteral("Sonorel"));
    box.setIcon(alert.style == UpdateAlert::Style::critical ? QMessageBox::Critical : QMessageBox::Information);
    box.setText(alert.messageText);
    box.setInformativeText(alert.informativeText);
    QList<QAbstractButton *> buttons;
    for (qsizetype i = 0; i < alert.buttons.size(); ++i) {
        // The first button accepts and is the default; the desktop's button layout decides where each is drawn.
        const auto role = i == 0 ? QMessageBox::AcceptRole : QMessageBox::RejectRole;
        buttons.append(box.addButton(alert.buttons.at(i), role));
    }
    if (!buttons.isEmpty()) {
        box.setDefaultButton(qobject_cast<QPushButton *>(buttons.first()));
        box.setEscapeButton(buttons.last());
    }
    box.setWindowFlag(Qt::WindowStaysOnTopHint);
    box.show();
    AlertSizing::fitToText(box);
    box.raise();
    box.activateWindow();
    box.exec();
    return int(buttons.indexOf(box.clickedButton()));
}
