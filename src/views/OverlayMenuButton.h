#pragma once

#include "base/Subscription.h"

#include <QAbstractButton>

class AppCommands;
class MenuActionsContent;
class QMenu;
class QSvgRenderer;

// The overlay's round, translucent 32 by 32 menu button; a press opens the command list below it.
class OverlayMenuButton final : public QAbstractButton
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(OverlayMenuButton)

public:
    static constexpr int sideLength = 32;

    explicit OverlayMenuButton(AppCommands &app, QWidget *parent = nullptr);
    ~OverlayMenuButton() override;

    QSize sizeHint() const override { return { sideLength, sideLength }; }
    QSize minimumSizeHint() const override { return sizeHint(); }

    bool hovering() const { return m_hovering; }
    QMenu &menu() const { return *m_menu; }
    MenuActionsContent &content() const { return *m_content; }

protected:
    void paintEvent(QPaintEvent *event) override;
    void enterEvent(QEnterEvent *event) override;
    void leaveEvent(QEvent *event) override;

private:
    void openMenu();

    QMenu *m_menu;
    MenuActionsContent *m_content;
    QSvgRenderer *m_icon;
    bool m_hovering = false;
    Cancellables cancellables;
};
