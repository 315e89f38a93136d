#pragma once

#include <QDir>
#include <QFile>
#include <QFileInfo>

// Writes `bytes` as the whole file at `path`, making its folder first; false on any failure.
inline bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return QDir().mkpath(QFileInfo(path).absolutePath()) && file.open(QIODevice::WriteOnly)
        && file.write(bytes) == bytes.size();
}
