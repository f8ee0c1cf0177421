#include "core/package/OnePassEdit.h"

#include "core/base/ErrorText.h"
#include "core/base/FileHelpers.h"
#include "core/base/TestHooks.h"
#include "core/base/UniqueFd.h"
#include "core/crypto/SignedCopy.h"
#include "core/crypto/WrittenPackageCheck.h"
#include "core/format/MemberNames.h"
#include "core/format/ZipFormat.h"
#include "core/format/ZipMemberReader.h"

#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

#include <condition_variable>
#include <deque>
#include <fcntl.h>
#include <mutex>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace {

constexpr qint64 kLargestBuildProp = 16 << 20;

// The edited build.prop in a scratch file beside the output (a temporary of
// the output's, so that a killed run's copy goes with the output's
// leftovers), as a Put after the other changes; nothing when its bytes stay.
bool prepareBuildProp(const OnePassEditPlan& plan, FileHelpers::TemporaryFile& scratch,
                      QList<ArchiveChange>* changes, QString* error) {
    if (plan.propEdits.isEmpty())
        return true;
    QByteArray text;
    if (plan.buildProp)
        text = *plan.buildProp;
    else if (!ReadPackageBuildProp(plan.package, &text, error))
        return false;
    const QByteArray edited = ApplyBuildPropEdits(text, plan.propEdits);
    if (edited == text)
        return true;
    if (!scratch.open(error) || !scratch.write(edited, error) || !scratch.sync(error))
        return false;
    if (plan.configTime >= 0) {
        const struct timespec times[2] = {{plan.configTime, 0}, {plan.configTime, 0}};
        if (::futimens(scratch.handle(), times) != 0)
            return Fail(error, QStringLiteral("cannot set the time of the edited build.prop"));
    }
    changes->append({ArchiveChangeKind::Put, QLatin1String(kBuildPropMember), scratch.path()});
    return true;
}

} // namespace

QString LogOverwritesEditFile(const QString& log, const QString& package, const QString& output,
                              const QStringList& readFiles) {
    if (log.isEmpty())
        return QString();
    if (FileHelpers::IsSameFile(log, package))
        return QStringLiteral("the log \"%1\" is the input package").arg(log);
    if (FileHelpers::IsSameFile(log, output))
        return QStringLiteral("the log \"%1\" is the output").arg(log);
    for (const QString& file : readFiles) {
        if (!file.isEmpty() && FileHelpers::IsSameFile(log, file))
            return QStringLiteral("the log \"%1\" is the input \"%2\"").arg(log, file);
    }
    return QString();
}

bool ReadPackageBuildProp(const QString& package, QByteArray* text, QString* error) {
    bool found = false;
    return ReadZipMemberNamedExactly(package, kBuildPropMember, kLargestBuildProp, text, &found,
                                     error);
}

Result RunOnePassEdit(const OnePassEditPlan& plan, const std::function<bool(int)>& progress) {
    const auto failed = [](const QString& cause) { return Result::failed({}, cause); };
    if (FileHelpers::IsSameFile(plan.package, plan.output))
        return failed(QStringLiteral("the output is the input package"));
    // What an earlier run for this output left when it was killed.
    FileHelpers::RemoveAbandonedTemporaries(plan.output);
    QList<ArchiveChange> changes = plan.changes;
    FileHelpers::TemporaryFile buildProp(plan.output);
    QString cause;
    if (!prepareBuildProp(plan, buildProp, &changes, &cause))
        return failed(
            QStringLiteral("cannot edit %1: %2").arg(QLatin1String(kBuildPropMember), cause));
    FileHelpers::TemporaryFile out(plan.output);
    WrittenPackageCheck check;
    if (!out.open(&cause) || !WriteSignedCopy(plan.package, changes, plan.certificate,
                                              plan.privateKey, out, progress, &cause, &check))
        return failed(cause);
    FaultPoint("onepass:written");
    if (!check.finish(out.path(), plan.certificate, &cause) || !out.commit(&cause))
        return failed(cause);
    return Result::done();
}
