#pragma once

#include <QByteArray>
#include <QFile>
#include <QString>

// A whole file's bytes, or "(unreadable)" when it is missing or cannot be read.
inline QByteArray fileContents(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("(unreadable)");
}
