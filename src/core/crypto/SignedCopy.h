#pragma once

#include "core/base/FileHelpers.h"
#include "core/format/ArchiveEditor.h"

#include <QList>
#include <QString>

#include <functional>

// Where the whole-file signing puts the signing certificate.
inline constexpr char kOtaCertMember[] = "META-INF/com/android/otacert";

// Writes the archive, edited by changes (WriteEditedCompactArchive), as a
// package signed with the key over the whole file (certificate PEM or DER,
// unencrypted PKCS#8 key) into an open temporary file, and flushes it: the
// kept members copied as they are (KeptInSignedPackage), the certificate as
// kOtaCertMember, the signature in the end record's comment. Every byte goes
// to the file and to the signature's digest (on a thread of its own) as it is
// written. progress gets the percentage; answering false stops the copy
// ("stopped"). False with the cause; the temporary then holds a part.
// check, when given, takes every entry and byte as they are written; the
// caller finishes it once the file is complete (WrittenPackageCheck).
class WrittenPackageCheck;
bool WriteSignedCopy(const QString& archive, const QList<ArchiveChange>& changes,
                     const QString& certificate, const QString& privateKey,
                     FileHelpers::TemporaryFile& out,
                     const std::function<bool(int percent)>& progress, QString* error,
                     WrittenPackageCheck* check = nullptr);
