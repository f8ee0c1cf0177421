#include "core/workspace/PackageContents.h"

#include "core/base/Messages.h"
#include "core/package/ApkNameRule.h"
#include "core/workspace/ApkOperations.h"
#include "core/workspace/AppState.h"

PackageApks ListPackageApks(const AppState& state) {
    PackageApks listed;
    const QString root = state.paths().extractedTree();
    const int version = state.androidMajorVersion();
    for (const Partition partition : {Partition::System, Partition::Data}) {
        const QString partitionRoot = root + QLatin1Char('/') + PartitionDirectoryName(partition);
        for (const QString& path : ListPartitionApks(partitionRoot, partition, version)) {
            const QString member = MemberNameOfTreePath(root, path);
            listed.treePaths << path;
            if (partition == Partition::Data)
                listed.dataApp << member;
            else if (member.startsWith(QLatin1String("system/priv-app/")))
                listed.systemPrivApp << member;
            else
                listed.systemApp << member;
        }
    }
    return listed;
}

ApkMatch FindListedApk(const AppState& state, const QString& name) {
    const QString root = state.paths().extractedTree();
    const bool byPath = name.contains(QLatin1Char('/'));
    QStringList matches;
    for (const QString& candidate : ListPackageApks(state).treePaths) {
        const QString member = MemberNameOfTreePath(root, candidate);
        if (byPath ? member == name : FileNamePart(candidate) == name)
            matches << candidate;
    }
    const auto fail = [&](const QString& cause) {
        return ApkMatch{Result::failed(Notice::failure(Msg::DeleteApkFailed(name)), cause),
                        {},
                        Partition::System};
    };
    if (matches.isEmpty())
        return fail(
            QStringLiteral("no APK named \"%1\" in system/app, system/priv-app or userdata/app")
                .arg(name));
    if (matches.size() > 1) {
        QStringList members;
        for (const QString& match : matches)
            members << MemberNameOfTreePath(root, match);
        return fail(QStringLiteral("\"%1\" names more than one APK: %2 (give its path to pick one)")
                        .arg(name, members.join(QStringLiteral(", "))));
    }
    const QString path = matches.first();
    const Partition partition =
        MemberNameOfTreePath(root, path).startsWith(QLatin1String("userdata/")) ? Partition::Data
                                                                                : Partition::System;
    return ApkMatch{Result::done(), path, partition};
}
