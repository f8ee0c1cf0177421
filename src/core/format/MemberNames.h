#pragma once

#include <QByteArray>
#include <QString>

// Names of archive members as the program uses them everywhere: as the path in
// the extracted tree and as the key to look a member up in the archive.

// The raw name of an entry decoded and made canonical (CanonicalMemberName).
// Bytes are UTF-8 when the entry's UTF-8 flag (general purpose bit 11) is set
// or when they are pure ASCII; otherwise they are code page 936, as Chinese
// Windows tools write them. A byte sequence the code page does not know
// becomes U+FFFD.
QString DecodeMemberName(const QByteArray& raw, bool utf8Flag);

// The name a member is listed under: decoded as DecodeMemberName does, its
// empty and "." segments dropped, but a backslash kept as a character, as
// the device looks names up ("a\\b" and "a/b" are two files).
QString ListedMemberName(const QByteArray& raw, bool utf8Flag);

// '\' counts as a separator; "." and empty segments are dropped, so there is
// no leading or trailing '/' ("./a//b/" becomes "a/b"). ".." is kept: it makes
// the name unsafe.
QString CanonicalMemberName(const QString& name);

// False for a canonical name that would leave the tree when extracted: empty,
// or with a ".." segment.
bool IsSafeMemberName(const QString& canonical);

// The path in the extracted tree of a canonical member name: tree + '/' +
// name. Empty for a name that must never reach the file system: empty, not
// canonical (absolute, '\\', "." or empty segments), with a ".." segment or a
// NUL. Every place that turns a member into a tree path goes through here.
QString MemberPathInTree(const QString& tree, const QString& canonicalMember);
