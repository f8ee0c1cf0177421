#pragma once

#include <QByteArray>
#include <QList>
#include <QMap>
#include <QPair>
#include <QString>
#include <QStringList>

#include <optional>

// The one model of a build.prop (lines of KEY=VALUE, comments after '#'):
// read, edited in place, its release and the device's ABIs.
//
// A key set on several lines has the value the device keeps: on the Android
// versions these boxes run, a read-only property (a key beginning "ro.")
// keeps its first value and any other property takes its last.
//
// Edits are made in place: the other lines, their order, comments, blank
// lines and line ends stay byte for byte.

inline constexpr char kBuildPropMember[] = "system/build.prop";

struct BuildPropEdit {
    QString key;
    std::optional<QString> value; // set to this value; none: the key is removed
};

// The text with the edits applied in order. A set changes the value of every
// line of the key (the spacing before the value kept) or, for a key not
// there, appends KEY=VALUE as a new last line (in the text's line end). An
// unset removes every line of the key, and a key not there is no change.
QByteArray ApplyBuildPropEdits(const QByteArray& text, const QList<BuildPropEdit>& edits);

// The key=value lines in their order: blanks around key and value trimmed, a
// line without '=' or beginning with '#' skipped, the key non-empty. Bytes
// are UTF-8 (invalid ones become replacement characters).
QList<QPair<QString, QString>> ParseBuildPropLines(const QByteArray& text);

// Every property with the value the device keeps (see above).
QMap<QString, QString> ParseBuildProp(const QByteArray& text);

// The value the device keeps for the key (see above), trimmed; none when no
// line sets it.
std::optional<QString> BuildPropValue(const QByteArray& text, const QString& key);

// The device's ABIs in preference order from the properties:
// ro.product.cpu.abilist, else ro.product.cpu.abi and ro.product.cpu.abi2.
// Empty when none is set.
QStringList DeviceAbisOfBuildProp(const QMap<QString, QString>& properties);

// A comma-separated list of ABIs ("arm64-v8a,armeabi-v7a"), blanks around
// each trimmed, empty items and repeats dropped.
QStringList ParseAbiList(const QString& list);

// Whether a key can be written: not empty, no '=', '#', whitespace or line end.
bool IsValidBuildPropKey(const QString& key);
