#include "core/package/SystemImage.h"

#include <QFileInfo>

namespace {

constexpr char kTransferList[] = "system.transfer.list";
constexpr char kNewDat[] = "system.new.dat";
constexpr char kNewDatBrotli[] = "system.new.dat.br";
constexpr char kImg[] = "system.img";

} // namespace

SystemImageForm SystemImageFormOf(const std::function<bool(const QString&)>& hasMember) {
    if (hasMember(QLatin1String(kTransferList))) {
        if (hasMember(QLatin1String(kNewDatBrotli)))
            return SystemImageForm::NewDatBrotli;
        if (hasMember(QLatin1String(kNewDat)))
            return SystemImageForm::NewDat;
    }
    if (hasMember(QLatin1String(kImg)))
        return SystemImageForm::Img;
    return SystemImageForm::Files;
}

SystemImageForm SystemImageFormOf(const QStringList& memberNames) {
    return SystemImageFormOf([&](const QString& name) { return memberNames.contains(name); });
}

SystemImageForm SystemImageFormOfTree(const QString& treeRoot) {
    return SystemImageFormOf([&](const QString& name) {
        return QFileInfo(treeRoot + QLatin1Char('/') + name).isFile();
    });
}

QString SystemImageFormName(SystemImageForm form) {
    switch (form) {
    case SystemImageForm::Files:
        break;
    case SystemImageForm::NewDat:
        return QStringLiteral("%1 with %2")
            .arg(QLatin1String(kNewDat), QLatin1String(kTransferList));
    case SystemImageForm::NewDatBrotli:
        return QStringLiteral("%1 with %2")
            .arg(QLatin1String(kNewDatBrotli), QLatin1String(kTransferList));
    case SystemImageForm::Img:
        return QLatin1String(kImg);
    }
    return {};
}
