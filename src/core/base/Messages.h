#pragma once

#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QString>
#include <QStringList>

// Every text the program shows the user, defined once. The windows and the
// command-line tool show the same words.
namespace Msg {

// Start-up and the workspace.
// Under the question, what would be continued: the package and when it was
// opened (each when known).
inline QString ContinueLastOperation(const QString& package = {}, const QDateTime& opened = {}) {
    QString text = QStringLiteral("Do you want to continue the last operation?");
    if (!package.isEmpty() || opened.isValid())
        text += QLatin1Char('\n');
    if (!package.isEmpty()) {
        const QFileInfo info(package);
        text += QStringLiteral("\nPackage: %1\nFolder: %2")
                    .arg(info.fileName(), QDir::toNativeSeparators(info.path()));
    }
    if (opened.isValid())
        text += QStringLiteral("\nOpened: %1")
                    .arg(opened.toLocalTime().toString(QStringLiteral("yyyy-MM-dd HH:mm")));
    return text;
}
inline QString LastOpenDidNotFinish(const QString& package) {
    if (package.isEmpty())
        return QStringLiteral("The last package did not finish opening; its files were cleared.");
    return QStringLiteral("The last package \"%1\" did not finish opening; its files were cleared.")
        .arg(package);
}
// The first few differences are named, then how many there were in all.
inline QString TreeRestoredFromArchive(const QStringList& first, qsizetype count) {
    QString text =
        QStringLiteral("The extracted files of the last package did not match its working "
                       "archive (%1 differences); they were restored from the archive:")
            .arg(count);
    for (const QString& difference : first)
        text += QStringLiteral("\n") + difference;
    if (count > first.size())
        text += QStringLiteral("\n...");
    return text;
}
inline QString TreeNotRestored(const QString& cause) {
    return QStringLiteral("The extracted files of the last package could not be brought in step "
                          "with its working archive (%1); they were cleared.")
        .arg(cause);
}
inline QString WorkspaceFileSetAside(const QString& file, const QString& cause,
                                     const QString& setAsideAs) {
    if (setAsideAs.isEmpty())
        return QStringLiteral("The workspace file \"%1\" was damaged (%2); it was removed.")
            .arg(file, cause);
    return QStringLiteral("The workspace file \"%1\" was damaged (%2); it was set aside as \"%3\".")
        .arg(file, cause, setAsideAs);
}
inline QString ArchiveJournalSetAside(const QString& journal, const QString& reason,
                                      const QString& setAsideAs) {
    return QStringLiteral("The record of an update of the working archive \"%1\" was not used "
                          "(%2); it was set aside as \"%3\".")
        .arg(journal, reason, setAsideAs);
}
inline QString AlreadyRunning(const QString& directory) {
    return QStringLiteral(
               "Corvane is already running with the workspace \"%1\" but does not answer.")
        .arg(directory);
}
inline QString WorkspaceLocked(const QString& directory, const QString& cause) {
    return QStringLiteral("The workspace \"%1\" cannot be locked: %2").arg(directory, cause);
}

// Opening.
inline QString NoPackageOpen() {
    return QStringLiteral("Please open a firmware package first!");
}
inline QString FileDoesNotExist(const QString& path) {
    return QStringLiteral("File \"%1\" does not exist!").arg(path);
}
// With a cause (why the package was refused), it follows on a line of its own.
inline QString UnzipFailed(const QString& cause = {}) {
    const QString text = QStringLiteral("UnZip file failed");
    return cause.isEmpty() ? text : text + QLatin1Char('\n') + cause;
}
inline QString UnzipFailedHard() {
    return QStringLiteral("UnZip file failed!!");
}
inline QString UnzipSucceeded() {
    return QStringLiteral("UnZip file successfully");
}
inline QString CannotCreateTempDirectory() {
    return QStringLiteral("Failed to create the temporary directory!");
}
inline QString CannotCopyZip() {
    return QStringLiteral("Failed to copy the zip file!");
}
inline QString NotEnoughSpace(const QString& where, qint64 needed, qint64 available) {
    return QStringLiteral("Not enough free space in \"%1\": %2 MB are needed, %3 MB are free.")
        .arg(where)
        .arg((needed + (1 << 20) - 1) >> 20)
        .arg(available >> 20);
}
inline QString CannotReadVersion() {
    return QStringLiteral("Failed to read the Version! ");
}
inline QString CannotOpenFile(const QString& path) {
    return QStringLiteral("Failed to open the file %1! ").arg(path);
}

// Saving and closing.
inline QString AskSave() {
    return QStringLiteral("Do you want to save?");
}
inline QString CannotUpdateInPackage(const QString& file) {
    return QStringLiteral("Failed to update \"%1\" in the package!").arg(file);
}
inline QString WorkingArchiveNotOutput(const QString& archive) {
    return QStringLiteral("The working archive \"%1\" cannot be the output!").arg(archive);
}
// With a cause, it follows on a line of its own.
inline QString SignFailed(const QString& cause = {}) {
    const QString text = QStringLiteral("Sign file failed");
    return cause.isEmpty() ? text : text + QLatin1Char('\n') + cause;
}
inline QString SaveFailed(const QString& cause = {}) {
    const QString text = QStringLiteral("Save failed!");
    return cause.isEmpty() ? text : text + QLatin1Char('\n') + cause;
}
inline QString NotReadableOnDevice(const QString& cause) {
    return QStringLiteral("The package cannot be saved: the device could not read it.\n%1")
        .arg(cause);
}
// An added APK's native libraries of ABIs the device does not take.
inline QString LibrariesLeftOut(const QString& apk, const QStringList& leftOut,
                                const QStringList& deviceAbis) {
    return QStringLiteral("\"%1\" was added without its native libraries for %2 (the device's "
                          "ABIs: %3).")
        .arg(apk, leftOut.join(QStringLiteral(", ")), deviceAbis.join(QStringLiteral(", ")));
}
inline QString SaveSucceeded() {
    return QStringLiteral("Save succeed");
}
inline QString DeleteLogFailed() {
    return QStringLiteral("Delete log.txt failed");
}
inline QString WriteLogFailed() {
    return QStringLiteral("Failed to write log.txt");
}

// APK pages.
inline QString ApkNamedIllegally(const QString& name) {
    return QStringLiteral("Apk \"%1\" named illegally!  \nOnly support \"A-Z a-z 0-9 + - _ .\"")
        .arg(name);
}
inline QString NotApkContinue(const QString& name) {
    return QStringLiteral("File \"%1\" is not apk file,Do you want to continue?").arg(name);
}
inline QString DirectoryDoesNotExist(const QString& path) {
    return QStringLiteral("\"%1\" does not exist!").arg(path);
}
inline QString DeleteDirectoryFailed(const QString& path) {
    return QStringLiteral("Delete\"%1\" Failed!").arg(path);
}
inline QString UnzipApkFailed(const QString& name) {
    return QStringLiteral("Unzip Apk \"%1\" Failed!").arg(name);
}
// With a cause (what is wrong with the signing), it follows on a line of its own.
inline QString SignApkFailed(const QString& name, const QString& cause = {}) {
    const QString text = QStringLiteral("Sign Apk \"%1\" Failed!").arg(name);
    return cause.isEmpty() ? text : text + QLatin1Char('\n') + cause;
}
inline QString NameTooLong(const QString& name, qint64 maxBytes) {
    return QStringLiteral("The name \"%1\" is too long: the workspace takes names of at most %2 "
                          "bytes.")
        .arg(name)
        .arg(maxBytes);
}
inline QString OverwriteQuestion(const QString& name) {
    return QStringLiteral("File \"%1\" exist,Do you want to overwrite?").arg(name);
}
inline QString AddToPackageFailed(const QString& name) {
    return QStringLiteral("Failed to add \"%1\" to the package!").arg(name);
}
inline QString CopyFailed() {
    return QStringLiteral("Copy failed!");
}
inline QString ConfirmDelete() {
    return QStringLiteral("Are you sure to delete?");
}
inline QString DeleteApkFailed(const QString& path) {
    return QStringLiteral("Delete \"") + path + QStringLiteral("\" Failed!");
}
// The tooltip of an APK on its page: what it says of itself and its signer.
inline QString ApkToolTip(const QString& packageName, const QString& version, qint64 size,
                          const QString& signer) {
    return QStringLiteral("%1\nVersion: %2\nSize: %L3 bytes\nSigner: %4")
        .arg(packageName, version)
        .arg(size)
        .arg(signer);
}
inline QString ApkVersionUnknown() {
    return QStringLiteral("unknown");
}
inline QString ApkSignerPlatformKey() {
    return QStringLiteral("platform key");
}
inline QString ApkSignerCertificate(const QString& shortSha256) {
    return QStringLiteral("certificate SHA-256 %1").arg(shortSha256);
}
inline QString ApkNotSigned() {
    return QStringLiteral("not signed");
}
inline QString ApkUnreadable(const QString& fileName, const QString& cause) {
    return QStringLiteral("%1 cannot be read: %2").arg(fileName, cause);
}

// A package whose system partition is an image (system.new.dat, .new.dat.br
// or system.img, named in FORM): its system APKs and build.prop are inside
// the image, out of reach of the edits.
inline QString SystemPartitionImageCause(const QString& form) {
    return QStringLiteral("the system partition is an image (%1)").arg(form);
}
// A partition image checked by the device (dm-verity metadata, an AVB footer,
// or vbmeta.img in the package): PARTITION names it ("system").
inline QString VerifiedPartitionWarning(const QString& partition) {
    return QStringLiteral("The %1 partition is verified by the device (dm-verity or AVB): the "
                          "device will refuse an edited %1 partition unless verity is disabled "
                          "or the image is signed again with the maker's key.")
        .arg(partition);
}
inline QString SystemPartitionIsImage(const QString& form) {
    return QStringLiteral("The system partition of this package is an image (%1): its APKs and "
                          "build.prop cannot be edited.")
        .arg(form);
}

// Settings page.
// The chooser of the program that opens a configuration file.
inline QString ChooseEditor(const QString& file) {
    return QStringLiteral("Choose the program to open \"%1\" with:").arg(file);
}
inline QString NoEditorToChoose(const QString& file) {
    return QStringLiteral("No text editor of the desktop is installed. Browse for the program to "
                          "open \"%1\" with, or set $VISUAL or $EDITOR (and $TERMINAL) to edit "
                          "it in a terminal.")
        .arg(file);
}
inline QString BrowseForProgram() {
    return QStringLiteral("Browse for a program...");
}
inline QString OtherProgram() {
    return QStringLiteral("Other program...");
}
inline QString CannotStartProgram(const QString& program) {
    return QStringLiteral("Failed to start \"%1\"!").arg(program);
}

// An ext4 image of a partition, read and edited in place.
// A size in bytes with its MiB: "20971520 bytes (20.0 MiB)".
inline QString ImageBytes(quint64 bytes) {
    return QStringLiteral("%1 bytes (%2 MiB)")
        .arg(bytes)
        .arg(static_cast<double>(bytes) / (1024.0 * 1024.0), 0, 'f', 1);
}
inline QString ImageNotExtFilesystem() {
    return QStringLiteral("the image holds no ext4 filesystem");
}
inline QString ImageNotExt4() {
    return QStringLiteral("the image's filesystem is ext2 or ext3, not ext4 (no extents)");
}
inline QString ImageHasSharedBlocks() {
    return QStringLiteral("the image shares blocks between files (shared_blocks): a block a "
                          "deleted file frees may still be another file's");
}
inline QString ImageNeedsRecovery() {
    return QStringLiteral("the image's journal holds changes not yet written (needs recovery)");
}
inline QString ImageNotClean(const QString& findings) {
    return QStringLiteral("e2fsck -fn does not call the image clean: %1").arg(findings);
}
inline QString ImageNoRoom(quint64 needed, quint64 there) {
    return QStringLiteral("the image has no room for the edit: it needs %1, it has %2 free")
        .arg(ImageBytes(needed), ImageBytes(there));
}
inline QString ImageNoLabel(const QString& path) {
    return QStringLiteral("no SELinux label for %1: no file of its kind beside it has one and "
                          "no file_contexts in the image names it")
        .arg(path);
}
inline QString ImagePathMissing(const QString& path) {
    return QStringLiteral("%1 is not in the image").arg(path);
}
inline QString ImagePathExists(const QString& path) {
    return QStringLiteral("%1 is already in the image").arg(path);
}
inline QString ImageNotAFile(const QString& path) {
    return QStringLiteral("%1 in the image is not a regular file").arg(path);
}
inline QString ImageNotAFolder(const QString& path) {
    return QStringLiteral("%1 in the image is not a folder").arg(path);
}
inline QString ImageFileTooLarge(const QString& path, qint64 limit) {
    return QStringLiteral("%1 in the image is larger than %2 bytes").arg(path).arg(limit);
}
inline QString ImageReadOnly() {
    return QStringLiteral("the image is open for reading only");
}
// A failure of the filesystem library: what was done and its error text.
inline QString ImageLibraryError(const QString& what, const QString& error) {
    return QStringLiteral("%1: %2").arg(what, error);
}

} // namespace Msg
