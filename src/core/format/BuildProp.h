#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

#include <optional>

// Edits of a build.prop (lines of KEY=VALUE, comments after '#'), made in
// place: the other lines, their order, comments, blank lines and line ends
// stay byte for byte.

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

// The value of the key's last line (the one the device keeps), trimmed; none
// when no line sets it.
std::optional<QString> BuildPropValue(const QByteArray& text, const QString& key);

// Whether a key can be written: not empty, no '=', '#', whitespace or line end.
bool IsValidBuildPropKey(const QString& key);
