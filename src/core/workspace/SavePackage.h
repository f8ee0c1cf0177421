#pragma once

#include "core/base/Result.h"

#include <QString>

#include <functional>

class AppState;
struct Operation;
class WorkspacePaths;

// Saving, in two steps around the choice of the output:
// PutBackConfigFiles puts the configuration files edited in the tree back
// into the working archive, those that differ from their members, in one
// commit (a file missing from the tree is skipped). SignPackageTo signs the
// working archive with the test key into a temporary file of a unique name
// beside the output, checks what it made as the device will read it (every
// member stored or deflated, under a name the device takes, once; every
// entry inflates with a good CRC; the whole-file signature verifies with the
// test certificate) and only then renames it over the output; on any failure
// the output keeps what it had. Members the device cannot read refuse the
// save before anything is written, naming the member. Outputs on drives that
// are not fixed are signed and checked in a staging folder of the workspace
// first, under a unique name, and that copy is removed afterwards. Each
// answers with its result: a failure's message and cause, and for the signing
// the success notice "Save succeed"; the caller presents it.
Result PutBackConfigFiles(const Operation& op);
// True while the open package holds edits that no save has written: an edit
// since it was opened or saved, or a configuration file of the tree that
// differs from its member.
bool HoldsUnsavedEdits(const AppState& state);
Result SignPackageTo(const Operation& op, const QString& output);

// Writes the archive signed into output, in-process: its live entries copied
// as they are (no inflating and deflating, dead bytes left out), without
// directory entries and old jar signature files, with
// META-INF/com/android/otacert added as signapk does, then the whole-file
// signature over the bytes as they were written. progress gets the
// percentage done; answering false stops the writing. Written through a
// temporary file renamed over output once complete: on failure output is
// untouched. A failure carries only its cause (no notice of its own).
Result WriteSignedPackage(const QString& archive, const QString& certificatePem,
                          const QString& privateKeyPk8, const QString& output,
                          const std::function<bool(int percent)>& progress);

// Checks a saved package as the save does (see above), with the program's
// own ZIP reader. A failure's cause names the member at fault (no notice).
Result VerifySignedPackage(const QString& path, const QString& certificatePem);

// Bytes the signed package of the archive will take at most: its live
// entries, a new central directory, the otacert and the signature. -1 when
// the archive cannot be read.
qint64 SignedPackageSizeBound(const QString& archive);

// The start-up clean-up of saves a kill interrupted: the abandoned temporary
// files beside the output the workspace recorded, the record itself, and
// every staged copy left in the workspace's staging folder.
void RemoveSaveLeftovers(const WorkspacePaths& paths);
