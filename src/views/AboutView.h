#pragma once

#include <QWidget>

// The About window's content: the application's icon, its name, and "Version <version> (<build>)".
class AboutView final : public QWidget
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(AboutView)

public:
    explicit AboutView(QWidget *parent = nullptr);

    const QString appName;
    const QString version;
    const QString build;

    static QString versionLine(const QString &version, const QString &build);
};
