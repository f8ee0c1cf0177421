#pragma once

#include <QByteArray>
#include <QList>
#include <QMap>
#include <QPair>
#include <QString>

// Small ZIP archives for tests, written and read with libzip.

// Writes an archive holding the members (name -> data), in the order given.
// A name ending in '/' becomes a directory entry.
bool WriteZip(const QString& path, const QList<QPair<QString, QByteArray>>& members);

// Reads every member: name -> data (directory entries map to empty data).
// Empty map when the archive cannot be read.
QMap<QString, QByteArray> ReadZip(const QString& path);

// Member names in archive order.
QStringList ZipMemberNames(const QString& path);
