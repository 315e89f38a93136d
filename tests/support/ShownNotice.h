#pragma once

#include <QApplication>
#include <QMessageBox>

// The text of the notice on screen, which is closed; marked when it cannot be selected to copy. Empty when
// no notice is shown.
inline QString takeShownNotice()
{
    for (QWidget *window : QApplication::topLevelWidgets()) {
        auto *box = qobject_cast<QMessageBox *>(window);
        if (!box || !box->isVisible())
            continue;
        const QString text = box->textInteractionFlags().testFlag(Qt::TextSelectableByMouse)
            ? box->text()
            : QStringLiteral("(not selectable) ") + box->text();
        box->close();
        return text;
    }
    return QString();
}
