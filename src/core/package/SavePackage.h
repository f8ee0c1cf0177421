#pragma once

#include <QString>

#include <functional>

struct Operation;

// Saving, in two steps around the choice of the output:
// PutBackConfigFiles puts the configuration files edited in the tree back
// into the working archive, those that differ from their members, in one
// commit (a file missing from the tree is skipped). SignPackageTo signs the
// working archive with the test key into a temporary file beside the output,
// checks what it made (a readable ZIP whose every entry inflates with a good
// CRC, and a whole-file signature that verifies with the test certificate) and
// only then renames it over the output; on any failure the output keeps what
// it had. Outputs on drives that are not fixed are staged in the workspace
// first. Each failure is reported with its message; success says
// "Save succeed" only through the caller.
bool PutBackConfigFiles(const Operation& op, QString* error = nullptr);
bool SignPackageTo(const Operation& op, const QString& output, QString* error = nullptr);

// Writes the archive signed into output, in-process: its live entries copied
// as they are (no inflating and deflating, dead bytes left out), without
// directory entries and old jar signature files, with
// META-INF/com/android/otacert added as signapk does, then the whole-file
// signature over the bytes as they were written. progress gets the
// percentage done; answering false stops the writing. The output is removed
// when anything fails.
bool WriteSignedPackage(const QString& archive, const QString& certificatePem,
                        const QString& privateKeyPk8, const QString& output,
                        const std::function<bool(int percent)>& progress, QString* error);

// Checks a saved package as the save does (see above). False with the cause.
bool VerifySignedPackage(const QString& path, const QString& certificatePem, QString* error);

// Removes the temporary file of a save that was interrupted (recorded in the
// workspace), if any.
void RemoveInterruptedSave(const Operation& op);
