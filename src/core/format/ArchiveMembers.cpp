#include "core/format/ArchiveEditor.h"

#include "core/base/ByteOrder.h"
#include "core/base/ErrorText.h"
#include "core/base/FileHelpers.h"
#include "core/base/TestHooks.h"
#include "core/base/UniqueFd.h"
#include "core/format/ArchivePlan.h"
#include "core/format/Deflate.h"
#include "core/format/MemberNames.h"
#include "core/format/ZipFormat.h"

#include <QFileInfo>

#include <fcntl.h>

using namespace archive_edit;

bool ReadArchiveMembers(const QString& archive, QList<ArchiveMember>* members, QString* error) {
    members->clear();
    UniqueFd fd;
    ZipDirectory directory;
    if (!openDirectory(archive, O_RDONLY, &fd, &directory, error))
        return false;
    *members = ArchiveMembersOf(directory);
    return true;
}

QList<ArchiveMember> ArchiveMembersOf(const ZipDirectory& directory) {
    QList<ArchiveMember> members;
    members.reserve(directory.entries.size());
    for (const ZipCentralEntry& entry : directory.entries) {
        ArchiveMember member;
        member.utf8Flag = entry.flags & kZipFlagUtf8;
        member.name = DecodeMemberName(entry.rawName, member.utf8Flag);
        member.rawName = entry.rawName;
        member.isDirectory = entry.rawName.endsWith('/') || entry.rawName.endsWith('\\');
        member.method = entry.method;
        member.crc32 = entry.crc32;
        member.compressedSize = entry.compressedSize;
        member.uncompressedSize = entry.uncompressedSize;
        member.localHeaderOffset = entry.localHeaderOffset;
        members.append(member);
    }
    return members;
}

bool CheckArchiveDeviceReadable(const QString& archive, QString* error, bool namesAsShown) {
    UniqueFd fd;
    ZipDirectory directory;
    if (!openDirectory(archive, O_RDONLY, &fd, &directory, error))
        return false;
    QString cause;
    if (CheckDeviceReadable(directory, &cause, namesAsShown))
        return true;
    return Fail(error, QStringLiteral("%1: %2").arg(archive, cause));
}

bool FindZipPart(const QString& path, quint64* start, quint64* prefixBias, QString* error) {
    UniqueFd fd;
    ZipDirectory directory;
    if (!openDirectory(path, O_RDONLY, &fd, &directory, error))
        return false;
    *start = ZipPartStart(directory);
    *prefixBias = directory.prefixBias;
    return true;
}

bool SummariseZipArchive(const QString& path, ZipSummary* summary, QString* error,
                         QList<ArchiveMember>* read) {
    *summary = ZipSummary{};
    const QFileInfo info(path);
    if (path.isEmpty() || !info.isFile() || info.size() == 0) {
        SetError(error, QStringLiteral("\"%1\" is not a file with data").arg(path));
        return false;
    }
    QList<ArchiveMember> members;
    if (!ReadArchiveMembers(path, &members, error))
        return false;
    summary->entries = members.size();
    for (const ArchiveMember& member : members)
        summary->uncompressedBytes += static_cast<qint64>(member.uncompressedSize);
    if (read)
        *read = std::move(members);
    return true;
}

bool IsReadableZipArchive(const QString& path) {
    ZipSummary summary;
    return SummariseZipArchive(path, &summary);
}
