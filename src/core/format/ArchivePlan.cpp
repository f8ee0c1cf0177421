#include "core/format/ArchivePlan.h"

#include "core/base/ByteOrder.h"
#include "core/base/ErrorText.h"
#include "core/base/FileHelpers.h"
#include "core/base/TestHooks.h"
#include "core/base/UniqueFd.h"
#include "core/format/Deflate.h"
#include "core/format/MemberNames.h"
#include "core/format/ZipFormat.h"

#include <QDateTime>
#include <QFileInfo>
#include <QScopeGuard>
#include <QSet>

#include <zlib.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

using namespace archive_edit;

namespace {

bool matchesTree(const QString& name, const QString& directory) {
    return name == directory || (name.size() > directory.size() && name.startsWith(directory) &&
                                 name.at(directory.size()) == QLatin1Char('/'));
}

} // namespace

namespace archive_edit {

// Opens the archive and reads its central directory; false with the cause.
bool openDirectory(const QString& archive, int flags, UniqueFd* fd, ZipDirectory* directory,
                   QString* error) {
    *fd = OpenUniqueFd(archive, flags);
    if (!fd->isOpen())
        return Fail(error, QStringLiteral("cannot open %1: %2").arg(archive, systemError()));
    QString cause;
    if (!ReadZipDirectory(fd->get(), directory, &cause))
        return Fail(error, QStringLiteral("%1: %2").arg(archive, cause));
    return true;
}

// Opens a file to add, so that one that cannot be read fails the edit before
// the archive is touched.
bool openSource(const QString& path, const struct stat& archiveInfo, SourceFile* source,
                QString* error) {
    source->path = path;
    source->fd = OpenUniqueFd(path, O_RDONLY);
    struct stat info;
    if (!source->fd.isOpen() || fstat(source->fd.get(), &info) != 0)
        return Fail(error, QStringLiteral("cannot read %1: %2").arg(path, systemError()));
    if (!S_ISREG(info.st_mode))
        return Fail(error, QStringLiteral("%1 is not a regular file").arg(path));
    if (info.st_dev == archiveInfo.st_dev && info.st_ino == archiveInfo.st_ino)
        return Fail(error, QStringLiteral("cannot add the archive to itself"));
    source->size = info.st_size;
    return true;
}

// SOURCE_DATE_EPOCH (seconds since 1970, UTC) when it is set to a number,
// else the newest entry's time in the directory, else 1980-01-01 00:00: the
// same package and the same edits give the same bytes whenever they are
// made, and an added member is never newer than what the package holds.
void editTime(const ZipDirectory& directory, quint16* dosDate, quint16* dosTime) {
    bool given = false;
    const qint64 epoch = qEnvironmentVariable("SOURCE_DATE_EPOCH").trimmed().toLongLong(&given);
    if (given && epoch >= 0) {
        const QDateTime utc = QDateTime::fromSecsSinceEpoch(epoch, Qt::UTC);
        const QDate date = utc.date();
        const QTime time = utc.time();
        if (date.year() < 1980) {
            *dosDate = (1 << 5) | 1;
            *dosTime = 0;
        } else if (date.year() > 2107) {
            *dosDate = static_cast<quint16>((127 << 9) | (12 << 5) | 31);
            *dosTime = static_cast<quint16>((23 << 11) | (59 << 5) | 29);
        } else {
            *dosDate = static_cast<quint16>(((date.year() - 1980) << 9) | (date.month() << 5) |
                                            date.day());
            *dosTime = static_cast<quint16>((time.hour() << 11) | (time.minute() << 5) |
                                            (time.second() / 2));
        }
        return;
    }
    quint32 newest = (((1u << 5) | 1u) << 16);
    for (const ZipCentralEntry& entry : directory.entries)
        newest = qMax(newest, static_cast<quint32>(entry.dosDate) << 16 | entry.dosTime);
    *dosDate = static_cast<quint16>(newest >> 16);
    *dosTime = static_cast<quint16>(newest & 0xffff);
}

// Plans the new central directory, checking every change before anything is
// written.
bool planChanges(const QString& archive, const ZipDirectory& directory,
                 const struct stat& archiveInfo, const QList<ArchiveChange>& changes,
                 QList<PlannedEntry>* plan, std::vector<SourceFile>* sources, QString* error,
                 bool takeMade) {
    plan->reserve(directory.entries.size() + changes.size());
    quint16 dosDate = 0, dosTime = 0;
    editTime(directory, &dosDate, &dosTime);
    for (qsizetype i = 0; i < directory.entries.size(); ++i) {
        const ZipCentralEntry& entry = directory.entries[i];
        plan->append({DecodeMemberName(entry.rawName, entry.flags & kZipFlagUtf8), i, -1});
    }
    for (const ArchiveChange& change : changes) {
        const QString member = CanonicalMemberName(change.member);
        if (change.kind == ArchiveChangeKind::Put) {
            if (!IsSafeMemberName(member) || member.toUtf8().size() > kZipMax16)
                return Fail(error,
                            QStringLiteral("unusable member name \"%1\"").arg(change.member));
            SourceFile source;
            if (change.made) {
                if (!takeMade)
                    return Fail(
                        error, QStringLiteral("%1 is made only for a copy").arg(change.sourceFile));
                source.path = change.sourceFile;
                source.size = change.made->sizeHint;
                source.made = change.made.get();
            } else if (!openSource(change.sourceFile, archiveInfo, &source, error)) {
                return false;
            }
            source.dosDate = dosDate;
            source.dosTime = dosTime;
            plan->removeIf([&member](const PlannedEntry& e) { return e.name == member; });
            plan->append({member, -1, static_cast<qsizetype>(sources->size())});
            sources->push_back(std::move(source));
            continue;
        }
        const bool tree = change.kind == ArchiveChangeKind::RemoveTree;
        const qsizetype removed = plan->removeIf([&](const PlannedEntry& e) {
            return tree ? matchesTree(e.name, member) : e.name == member;
        });
        if (member.isEmpty() || removed == 0)
            return Fail(
                error,
                QStringLiteral("%1: no member \"%2\" to remove").arg(archive, change.member));
    }
    return true;
}

} // namespace archive_edit
