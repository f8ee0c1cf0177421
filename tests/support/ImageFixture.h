#pragma once

#include "core/format/BlockImageCodec.h"

#include <QByteArray>
#include <QList>
#include <QPair>
#include <QString>

// Packages whose system partition is an ext4 image, made at test time: the
// image by mke2fs -d from a small tree (labelled with debugfs ea_set), then
// carried raw, sparse (img2simg) or as a transfer list with its .new.dat or
// .new.dat.br (this program's encoder).

// The files of the small system partition, path in the partition -> bytes:
// two apps, a privileged app, a library, build.prop, the label rules.
QList<QPair<QString, QByteArray>> SmallSystemFiles();

// Makes the raw image at imagePath from the files (below system/ when
// systemAsRoot), every file and folder labelled as a device's are; empty
// text on success, else what failed.
QString MakeSystemImage(const QString& imagePath, const QList<QPair<QString, QByteArray>>& files,
                        bool systemAsRoot = false, const QString& size = QStringLiteral("16M"));

// The package members that carry the raw image in a form, made in scratch;
// empty with a warning on failure.
QList<QPair<QString, QByteArray>> SystemImageMembers(const QString& rawImage, BlockImageForm form,
                                                     const QString& scratch);

// A tool's path (also looked for in the sbin folders); empty when missing.
QString FindTool(const QString& name);
// Runs a tool to its end: its exit code (-1 when it did not run) and output.
int RunTool(const QString& name, const QStringList& arguments, QByteArray* out = nullptr);
