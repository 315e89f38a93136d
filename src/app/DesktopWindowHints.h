#pragma once

#include <QByteArray>
#include <QPoint>

#include <optional>

class QWidget;

// Window-manager hints and window-system questions that Qt has no API for. On X11 they speak to the X
// server; elsewhere they do nothing and answer nothing, since Wayland compositors decide these themselves.
namespace DesktopWindowHints {

// Puts a top-level window on every virtual desktop (_NET_WM_DESKTOP = all).
void showOnAllDesktops(QWidget *window);

// Keeps a top-level window out of taskbars and pagers (_NET_WM_STATE_SKIP_TASKBAR and _SKIP_PAGER),
// before it is mapped or after.
void skipTaskbarAndPager(QWidget *window);

// Lets the pointer through every X window that holds `window`: its own and the frame windows a window
// manager wraps it in, which would otherwise still take clicks meant for the window below. With
// `through` false, those windows take the pointer again. Call it after the window is mapped.
void passInputThrough(QWidget *window, bool through);

// Makes `window` transient for `parent` (WM_TRANSIENT_FOR): a window manager keeps it above `parent`, in
// `parent`'s layer if that is higher. Call it after `window` is mapped, since Qt rewrites the property then;
// `parent` null removes the relation.
void setTransientFor(QWidget *window, const QWidget *parent);

// Where the window's top-left corner is on the screen now. A window manager that moves a window tells
// Qt only when the move ends; this asks the X server.
std::optional<QPoint> originOnScreen(const QWidget *window);

// Whether the primary mouse button is held down now, anywhere on the screen (also while a window
// manager has grabbed the pointer to move or resize a window).
std::optional<bool> primaryButtonDown();

// Whether a compositing manager runs on the screen (it owns _NET_WM_CM_S<n>): only then do translucent
// pixels show what lies below.
bool compositorRunning();
// Whether translucent pixels show what lies below: on X11 only with a compositor; Wayland always composites.
bool translucencyShown();

// Whether an X server answers at `display` (as in $DISPLAY). Asked before the application object exists,
// since Qt aborts the whole process when its X connection fails.
bool x11DisplayReachable(const QByteArray &display);

// In a Wayland session the overlay goes through XWayland, since Wayland lets no window place itself or
// stay above others. Called before the application object exists: selects Qt's xcb platform unless
// the user chose a platform or no X server answers, and logs once when the overlay cannot be placed.
// Returns whether Sonorel now runs through XWayland.
bool chooseXWaylandInWaylandSession();
// Whether chooseXWaylandInWaylandSession() chose XWayland. Its window managers (Weston's among them)
// may place windows where they like and ignore later moves, so the overlay's windows then place
// themselves, outside the window manager's hands (override-redirect), as menus and tooltips do.
bool throughXWayland();

} // namespace DesktopWindowHints
