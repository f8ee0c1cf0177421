#include "core/workspace/ReplaceImage.h"

#include "core/base/FileHelpers.h"
#include "core/base/Messages.h"
#include "core/base/Operation.h"
#include "core/base/Reporter.h"
#include "core/base/TestHooks.h"
#include "core/base/ToolRunner.h"
#include "core/package/PackageLayout.h"
#include "core/workspace/AppState.h"
#include "core/workspace/ChangeLog.h"
#include "core/workspace/TreeSync.h"

#include <QDateTime>
#include <QDir>
#include <QFileInfo>

Result ReplaceImage(const Operation& op, const ImageSlot& slot, const QString& sourcePath) {
    AppState& state = op.state;
    const auto fail = [](const QString& message, const QString& cause) {
        return Result::failed(Notice::failure(message), cause);
    };
    if (!state.hasPackage())
        return fail(Msg::NoPackageOpen(), QStringLiteral("no package is open"));
    if (!QFileInfo(sourcePath).isFile())
        return fail(Msg::CopyFailed(), QStringLiteral("\"%1\" is not a file").arg(sourcePath));

    const WorkspacePaths paths = state.paths();
    const QString target = paths.extractedTree() + QLatin1String(slot.treeSuffix);
    const QString member = MemberNameOfTreePath(paths.extractedTree(), target);
    QString cause;
    // A record left by an earlier edit that cannot be finished stays: it is
    // that edit's, and only finishing it may remove it.
    if (!BeginTreeSync(paths, {{target, member, false}}, &cause))
        return fail(QLatin1String(slot.failure), cause);
    if (!UpdateWorkingArchive(op.runner, state.workingArchivePath(),
                              {{ArchiveChangeKind::Put, member, sourcePath}}, &cause)) {
        EndTreeSync(paths); // the archive is as it was: nothing to finish
        return fail(QLatin1String(slot.failure), cause);
    }

    FaultPoint("replace:archive-committed");
    QDir().mkpath(QFileInfo(target).absolutePath());
    if (!FileHelpers::CopyFileReplacing(sourcePath, target, &cause)) {
        // The edit stays pending: the next start writes the archive's member
        // into the tree.
        return fail(Msg::CopyFailed(), cause);
    }
    EndTreeSync(paths);
    RecordChange(op, ChangeLogReplaceLine(QDateTime::currentDateTime(), target, sourcePath));
    return Result::done();
}
