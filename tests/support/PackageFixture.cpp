#include "support/PackageFixture.h"

#include "support/ZipFixture.h"

#include <QDir>

PackageWindow::PackageWindow() : app(bundle.path()), dlg(app) {
    dlg.OnInitDialog();
    app.CreateBusyDialog();
}

PackageWindow::~PackageWindow() {
    app.DestroyBusyDialog();
}

void PackageWindow::open(const QString& package) {
    dialogs.openResults.enqueue({package});
    dlg.OnBrowseClicked();
}

QString PackageWindow::writePackage(const QString& name,
                                    const QList<QPair<QString, QByteArray>>& members) {
    const QString path = bundle.file(QStringLiteral("packages/") + name);
    QDir().mkpath(bundle.file(QStringLiteral("packages")));
    WriteZip(path, members);
    return path;
}
