#include "core/package/OnePassAdd.h"

#include "core/base/ErrorText.h"
#include "core/base/FileHelpers.h"
#include "core/base/Messages.h"
#include "core/base/Reporter.h"
#include "core/format/MemberNames.h"
#include "core/format/ZipMemberReader.h"
#include "core/package/ApkLibraries.h"
#include "core/package/ApkNameRule.h"
#include "core/package/ApkRules.h"
#include "core/package/LibraryPlacement.h"

#include <QFileInfo>

#include <algorithm>
#include <memory>

namespace {

using FileHelpers::TemporaryFile;

Result failed(const QString& message, const QString& cause) {
    return Result::failed(Notice::failure(message), cause);
}

bool hasMember(const QStringList& members, const QString& member) {
    return members.contains(member);
}

// The window lists an unpacked APK's lib folder depth first, each folder's
// names in NameLess order; the member paths sorted name by name give that
// order.
bool listedBefore(const ApkLibrary& a, const ApkLibrary& b) {
    const QStringList left = a.member.split(QLatin1Char('/'));
    const QStringList right = b.member.split(QLatin1Char('/'));
    for (qsizetype i = 0; i < left.size() && i < right.size(); ++i) {
        if (left[i] != right[i])
            return FileHelpers::NameLess(left[i], right[i]);
    }
    return left.size() < right.size();
}

// A temporary of the output, made by make() and removed by release().
class MadeFile {
public:
    explicit MadeFile(QString output) : m_output(std::move(output)) {}
    TemporaryFile* open(QString* error) {
        m_file = std::make_unique<TemporaryFile>(m_output);
        return m_file->open(error) ? m_file.get() : nullptr;
    }
    void release() { m_file.reset(); }

private:
    QString m_output;
    std::unique_ptr<TemporaryFile> m_file;
};

// The APK signed with the key when its member is written.
std::shared_ptr<const MadeSource> signedApk(const QString& source, const QString& name,
                                            const OnePassAddContext& context) {
    auto file = std::make_shared<MadeFile>(context.output);
    auto made = std::make_shared<MadeSource>();
    made->sizeHint = QFileInfo(source).size();
    made->make = [file, source, name, key = context.platformKey](QString* path, QString* error) {
        QString cause;
        TemporaryFile* out = file->open(&cause);
        if (!out || !SignApkInto(source, *out, key, &cause))
            return Fail(error, QStringLiteral("%1 %2").arg(Msg::SignApkFailed(name), cause));
        *path = out->path();
        return true;
    };
    made->release = [file] { file->release(); };
    return made;
}

// A library read out of the APK when its member is written, its size and
// CRC-32 checked by the reader.
std::shared_ptr<const MadeSource> apkLibrary(const QString& apk, const ApkLibrary& library,
                                             const OnePassAddContext& context) {
    auto file = std::make_shared<MadeFile>(context.output);
    auto made = std::make_shared<MadeSource>();
    made->sizeHint = library.size;
    made->make = [file, apk, library](QString* path, QString* error) {
        const auto unzipFailed = [&](const QString& cause) {
            return Fail(error,
                        QStringLiteral("%1 %2: %3")
                            .arg(Msg::UnzipApkFailed(FileNamePart(apk)), library.member, cause));
        };
        QString cause;
        TemporaryFile* out = file->open(&cause);
        if (!out || !WriteApkLibraryInto(apk, library, *out, &cause))
            return unzipFailed(cause);
        *path = out->path();
        return true;
    };
    made->release = [file] { file->release(); };
    return made;
}

// Where the APK goes: over one of its name lying flat, else (directory
// layout) in a folder of its own; empty when the user declines.
QString placeApk(Reporter& reporter, const QStringList& members, const QString& appDirectory,
                 const QString& name, bool directoryLayout) {
    const QString flat = FlatApkPath(appDirectory, name);
    if (hasMember(members, flat))
        return reporter.ask(Reporter::Question::OverwriteApk, Msg::OverwriteQuestion(name))
                   ? flat
                   : QString();
    const QString placed = OwnFolderApkPath(appDirectory, name);
    // A name that begins with ".apk" has no folder name: it stays flat.
    if (!directoryLayout || placed.isEmpty())
        return flat;
    if (hasMember(members, placed) &&
        !reporter.ask(Reporter::Question::OverwriteApk, Msg::OverwriteQuestion(placed)))
        return QString();
    return placed;
}

struct PlannedLibrary {
    ApkLibrary library;
    QString member;
};

// One library to place as directory/fileName: a name planned before or in
// the package asks before it replaces; No ends the add. A later library of
// the same name wins.
bool planLibrary(Reporter& reporter, const QStringList& members, const ApkLibrary& library,
                 const QString& directory, QList<PlannedLibrary>& planned) {
    const QString member = directory + QLatin1Char('/') + library.fileName;
    const auto same = [&](const PlannedLibrary& p) { return p.member == member; };
    const bool met = std::any_of(planned.cbegin(), planned.cend(), same);
    if ((met || hasMember(members, member)) &&
        !reporter.ask(Reporter::Question::OverwriteLibrary,
                      Msg::OverwriteQuestion(library.fileName)))
        return false;
    planned.removeIf(same);
    planned.append({library, member});
    return true;
}

} // namespace

void ApplyChangeToMembers(const ArchiveChange& change, QStringList* members) {
    const QString member = CanonicalMemberName(change.member);
    switch (change.kind) {
    case ArchiveChangeKind::Put:
        members->removeAll(member);
        members->append(member);
        return;
    case ArchiveChangeKind::Remove:
        members->removeAll(member);
        return;
    case ArchiveChangeKind::RemoveTree:
        members->removeIf([&](const QString& name) {
            return name == member || name.startsWith(member + QLatin1Char('/'));
        });
        return;
    }
}

Result PlanOnePassAdd(const OnePassApkAdd& add, const OnePassAddContext& context,
                      Reporter& reporter, QStringList* members, QList<ArchiveChange>* changes,
                      QStringList* leftOutAbis) {
    if (leftOutAbis)
        leftOutAbis->clear();
    const QString name = FileNamePart(add.source);
    if (!QFileInfo(add.source).isFile())
        return failed(Msg::FileDoesNotExist(add.source),
                      QStringLiteral("\"%1\" is not a file").arg(add.source));
    if (!IsValidApkName(name))
        return failed(Msg::ApkNamedIllegally(name),
                      QStringLiteral("\"%1\" is not a legal APK name").arg(name));
    if (!HasApkExtension(name) &&
        !reporter.ask(Reporter::Question::NotAnApk, Msg::NotApkContinue(name)))
        return Result::declined();
    const bool system = add.partition == Partition::System;
    const QString partition = PartitionDirectoryName(add.partition);
    if (add.appFolder != QLatin1String("app") &&
        (!system || add.appFolder != QLatin1String("priv-app")))
        return failed(Msg::DirectoryDoesNotExist(partition + QLatin1Char('/') + add.appFolder),
                      QStringLiteral("an APK goes to app, or priv-app on the system partition, "
                                     "not to \"%1\"")
                          .arg(add.appFolder));

    // The libraries are listed (and the APK read as a ZIP) before any
    // question, as the window unpacks before it asks.
    QList<ApkLibrary> libraries;
    if (system) {
        QString cause;
        const ApkLibraryScope scope = add.deviceAbis.isEmpty() ? ApkLibraryScope::EveryFileBelowLib
                                                               : ApkLibraryScope::NativeLibraries;
        if (!ListApkLibraries(add.source, &libraries, &cause, scope))
            return failed(Msg::UnzipApkFailed(name), cause);
        std::stable_sort(libraries.begin(), libraries.end(), listedBefore);
        // Everything the signer refuses is checked now, so that a dry run
        // finds it and the copy is not begun for nothing.
        if (!CheckSignable(add.source, &cause))
            return failed(Msg::SignApkFailed(name, cause), cause);
    }

    const QString appDirectory = partition + QLatin1Char('/') + add.appFolder;
    const QString apkMember =
        placeApk(reporter, *members, appDirectory, name, context.directoryLayout);
    if (apkMember.isEmpty())
        return Result::declined();
    QList<PlannedLibrary> planned;
    if (!add.deviceAbis.isEmpty()) {
        QList<AbiLibrary> abiLibraries;
        for (const ApkLibrary& library : libraries)
            abiLibraries.append({library.abi, library.fileName});
        const LibraryPlacement placement = PlaceLibraries(abiLibraries, add.deviceAbis);
        if (leftOutAbis)
            *leftOutAbis = placement.leftOutAbis;
        for (const PlacedLibrary& placed : placement.placed) {
            const auto library =
                std::find_if(libraries.cbegin(), libraries.cend(), [&](const ApkLibrary& l) {
                    return l.abi == placed.library.abi && l.fileName == placed.library.fileName;
                });
            if (!planLibrary(reporter, *members, *library,
                             partition + QLatin1Char('/') + placed.directory, planned))
                return Result::declined();
        }
    } else {
        for (const ApkLibrary& library : libraries) {
            if (!planLibrary(reporter, *members, library, partition + QStringLiteral("/lib"),
                             planned))
                return Result::declined();
        }
    }

    const ArchiveChange apk{ArchiveChangeKind::Put, apkMember, add.source,
                            system ? signedApk(add.source, name, context) : nullptr};
    changes->append(apk);
    ApplyChangeToMembers(apk, members);
    for (const PlannedLibrary& library : planned) {
        const ArchiveChange put{ArchiveChangeKind::Put, library.member,
                                add.source + QLatin1Char('!') + library.library.member,
                                apkLibrary(add.source, library.library, context)};
        changes->append(put);
        ApplyChangeToMembers(put, members);
    }
    return Result::done();
}
