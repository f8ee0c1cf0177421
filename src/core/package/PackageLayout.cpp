#include "core/package/PackageLayout.h"

QString PartitionDirectoryName(Partition partition) {
    return partition == Partition::System ? QStringLiteral("system") : QStringLiteral("userdata");
}

const ImageSlot kImageSlots[9] = {
    {"logo.img", "/logo.img", "Failed to replace the logo.img! ", false},
    {"fastplay.img", "/fastplay.img", "Failed to replace the fastplay.img! ", false},
    {"bootanimation.zip", "/system/media/bootanimation.zip",
     "Failed to replace the bootanimation.zip! ", true},
    {"bootargs.img", "/bootargs.img", "Failed to replace the bootargs.img! ", false},
    {"baseparam.img", "/baseparam.img", "Failed to replace the baseparam.img! ", false},
    {"boot.img", "/boot.img", "Failed to replace the boot.img! ", false},
    {"fastboot.img", "/fastboot.img", "Failed to replace the fastboot.img! ", false},
    {"recovery.img", "/recovery.img", "Failed to replace the recovery.img! ", false},
    {"pq_param.img", "/pq_param.img", "Failed to replace the pq_param.img! ", false},
};

const ConfigFile kConfigFiles[3] = {
    {"/system/build.prop"},
    {"/system/usr/keylayout/Vendor_0001_Product_0001.kl"},
    {"/system/etc/key.xml"},
};

const ImageSlot* FindImageSlot(const QString& name) {
    for (const ImageSlot& slot : kImageSlots) {
        if (name == QLatin1String(slot.name))
            return &slot;
    }
    return nullptr;
}

QString MemberNameOfTreePath(const QString& treeRoot, const QString& path) {
    const QString prefix = treeRoot + QLatin1Char('/');
    if (treeRoot.isEmpty() || !path.startsWith(prefix) || path.size() == prefix.size())
        return {};
    return path.mid(prefix.size());
}
