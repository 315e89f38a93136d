#pragma once

#include "updates/FileRevealer.h"

#include <QUrl>

#include <chrono>
#include <functional>

// Reveals a file in the desktop's file manager through the org.freedesktop.FileManager1 D-Bus service
// (Nautilus, Dolphin, Nemo, Caja, Thunar...). Where no file manager answers, the containing folder is
// opened instead through `openFolder`, which the application binds to QDesktopServices::openUrl so that
// this library stays free of the GUI modules.
class FileManagerReveal final : public FileRevealer
{
public:
    using FolderOpener = std::function<void(const QUrl &folder)>;

    explicit FileManagerReveal(FolderOpener openFolder, std::chrono::milliseconds timeout = std::chrono::seconds(5));

    // Returns at once; the file manager is asked asynchronously on the session bus.
    void reveal(const QString &filePath) override;

private:
    FolderOpener m_openFolder;
    std::chrono::milliseconds m_timeout;
};
