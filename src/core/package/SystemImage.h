#pragma once

#include <QString>
#include <QStringList>

#include <functional>

// How a package carries its system partition. A block-based package carries
// it as an ext4 image: "system.new.dat" or "system.new.dat.br" (brotli) with
// "system.transfer.list", or "system.img" (raw or sparse). The device installs
// the image, so system/ members beside it never reach it: APK and build.prop
// edits of such a package are refused.
enum class SystemImageForm {
    Files,        // system/... members, the form the edits work on
    NewDat,       // system.new.dat + system.transfer.list
    NewDatBrotli, // system.new.dat.br + system.transfer.list
    Img,          // system.img
};

// The form from whether the package has a member of a given name at its root.
SystemImageForm SystemImageFormOf(const std::function<bool(const QString&)>& hasMember);
// The same from the package's member names.
SystemImageForm SystemImageFormOf(const QStringList& memberNames);
// The same from the files at the root of an extracted tree.
SystemImageForm SystemImageFormOfTree(const QString& treeRoot);

// Names the form for a message: "system.new.dat.br with system.transfer.list",
// "system.img"; empty for Files.
QString SystemImageFormName(SystemImageForm form);
