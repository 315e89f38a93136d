#pragma once

#include <QWidget>

class AppCommands;
class OverlayMenuButton;

// The small companion window above the overlay's top-right corner that carries the menu button. It is
// a window of its own so that it keeps taking the mouse while the overlay is click-through.
class ControlPanel final : public QWidget
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(ControlPanel)

public:
    explicit ControlPanel(AppCommands &app, QWidget *parent = nullptr);

    OverlayMenuButton &button() const { return *m_button; }

protected:
    void showEvent(QShowEvent *event) override;

private:
    OverlayMenuButton *m_button;
};
