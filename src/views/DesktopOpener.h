#pragma once

#include <QString>
#include <QUrl>

class QWidget;

// Opens an address or a folder with the desktop's own handler. Where none takes it (no browser, mail
// program or file manager set up, or no xdg-open at all), a notice says so and gives the address or the
// folder's path as text to select and copy: a command that silently did nothing would leave the user
// guessing.
namespace DesktopOpener {

// Whether a handler took it; otherwise the notice is shown, over `parent` when there is one.
bool open(const QUrl &url, QWidget *parent = nullptr);
// What the notice says for `url`.
QString failureText(const QUrl &url);

} // namespace DesktopOpener
