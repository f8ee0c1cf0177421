#pragma once

#include "core/base/Result.h"
#include "core/format/ArchiveEditor.h"
#include "core/format/BuildProp.h"

#include <QList>
#include <QString>
#include <QStringList>

#include <functional>
#include <optional>

// Editing a package in one pass, without a workspace: the package's central
// directory is read, the members it keeps are copied as they are, the files
// put are written as new members, build.prop is edited in memory, and every
// byte goes to the whole-file signature as it is written. The output is the
// package that the window's operations and save make for the same edits:
// the same members in the same order, the same bytes.
struct OnePassEditPlan {
    QString package;
    QString output;
    // The whole-file signing key: certificate (PEM or DER) and its unencrypted
    // PKCS#8 private key.
    QString certificate;
    QString privateKey;
    // In order, as the window's operations would commit them to the working
    // archive (Put from a file, Remove, RemoveTree).
    QList<ArchiveChange> changes;
    // Applied to system/build.prop after the changes, as the save puts the
    // edited configuration files back: the member is written again only when
    // its bytes change, with configTime (seconds since the epoch; -1 for now)
    // as its time.
    QList<BuildPropEdit> propEdits;
    qint64 configTime = -1;
    // The package's build.prop as the plan read it; read again when none.
    std::optional<QByteArray> buildProp;
};

// Writes the edited, signed package through a unique temporary file beside
// the output (created exclusively), checks that the device reads it and
// renames it over the output; abandoned temporaries of earlier killed runs
// are removed first. On any failure the output keeps what it had and no
// temporary stays. Scratch space: the edited build.prop only. progress gets
// the percentage; answering false stops the run. The fault point
// "onepass:written" comes when the temporary is complete and flushed.
Result RunOnePassEdit(const OnePassEditPlan& plan,
                      const std::function<bool(int percent)>& progress = {});

// The package's system/build.prop (empty when it has none); false with the
// cause when the package cannot be read.
// Why a change log written to log would overwrite a file of the edit: the
// package, the output, or one it reads (an APK, an image, a key); empty when
// it names none of them. Links and hard links count as the file they reach.
QString LogOverwritesEditFile(const QString& log, const QString& package, const QString& output,
                              const QStringList& readFiles);

bool ReadPackageBuildProp(const QString& package, QByteArray* text, QString* error);
