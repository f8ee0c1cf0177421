#pragma once

#include "core/base/Result.h"
#include "core/crypto/ApkSigner.h"
#include "core/package/OnePassEdit.h"

#include <QList>
#include <QString>
#include <QStringList>

#include <memory>

class Reporter;

// The edit plan: a package, read once (its directory, build.prop, Android
// version and ABIs), and a list of edits become the changes of one pass
// (OnePassEdit) and the plan's lines. A front end only gathers the edits and
// shows the plan or runs it; a dry run shows the same plan.

// One edit as a front end asks for it.
struct PackageEdit {
    enum class Kind { AddSystem, AddPriv, AddData, Delete, Replace, SetProp, UnsetProp };
    Kind kind = Kind::AddSystem;
    QString argument; // the APK file, the APK name, the replacement file, a property's value
    QString slot;     // Replace: the image slot ("logo.img"); SetProp, UnsetProp: the key
    QString label;    // how the front end names the edit in a failure ("--delete Foo.apk")
};

struct EditRequest {
    QString package; // absolute paths
    QString output;
    QString packageName; // as the user named them, for messages
    QString outputName;
    // The whole-file signing key (certificate PEM or DER, PKCS#8 key).
    QString certificate;
    QString privateKey;
    QList<PackageEdit> edits;
    // The device's ABIs for added libraries instead of the build.prop's.
    QStringList abis;
    // System APKs are signed with this key when it is loaded, else with the
    // fallback pair, loaded when a system APK is first added.
    SigningKey platformKey;
    QString fallbackPlatformCertificate;
    QString fallbackPlatformKey;
    // A partition image written again: brotli's quality for NAME.new.dat.br,
    // and free blocks zeroed instead of erased.
    int brotliQuality = 6;
    bool noErase = false;
};

// A step of the plan, for the plan's lines and the change log.
struct EditStep {
    enum class Kind { Delete, Replace, SetProp, UnsetProp, Add };
    Kind kind = Kind::Delete;
    QString member; // Delete: the APK; Replace: the image; Add: the APK folder
    QString source; // Replace, Add: the file on disk
};

struct EditPlan {
    OnePassEditPlan onePass;
    QList<EditStep> steps;
    QStringList lines;    // the plan as shown: each step, with where an add's files go
    QStringList summary;  // what the edit changes, one entry a step
    QStringList warnings; // what the user should know (libraries left out)
    // The scratch files the one pass reads (an edited partition image and its
    // encoded members), removed when the plan goes.
    std::shared_ptr<void> scratch;
};

// Plans the edits in order against the package as the earlier ones leave it;
// questions (overwriting an APK or a library) go to the reporter. Failed with
// the line to show as the notice's text and the cause; Declined when a
// question was answered No.
Result MakeEditPlan(const EditRequest& request, Reporter& reporter, EditPlan* plan);

// Keys and values of build.prop are one line of printable text: the first
// code point that is not (a control, format, surrogate, private-use or
// unassigned character, a line or paragraph separator) as "U+000D"; empty
// when there is none.
QString UnprintableCharacter(const QString& text);
// A key that can be written: printable, not empty, no '=', '#' or blank.
bool IsWritablePropertyKey(const QString& key);
