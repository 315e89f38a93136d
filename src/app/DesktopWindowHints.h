#pragma once

class QWidget;

// Window-manager hints that Qt has no API for.
namespace DesktopWindowHints {

// Puts a top-level window on every virtual desktop (X11 _NET_WM_DESKTOP = all). Elsewhere nothing
// happens: Wayland compositors decide this themselves.
void showOnAllDesktops(QWidget *window);

} // namespace DesktopWindowHints
