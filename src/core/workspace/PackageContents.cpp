#include "core/workspace/PackageContents.h"

#include "core/base/Messages.h"
#include "core/package/ApkRules.h"
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
    const QStringList paths = ListPackageApks(state).treePaths;
    QStringList members;
    for (const QString& path : paths)
        members << MemberNameOfTreePath(root, path);
    QString member;
    QString cause;
    if (!PickApkMember(members, name, &member, &cause))
        return ApkMatch{Result::failed(Notice::failure(Msg::DeleteApkFailed(name)), cause),
                        {},
                        Partition::System};
    const QString path = paths.at(members.indexOf(member));
    const Partition partition =
        member.startsWith(QLatin1String("userdata/")) ? Partition::Data : Partition::System;
    return ApkMatch{Result::done(), path, partition};
}
