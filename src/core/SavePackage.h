#pragma once

#include <QString>

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

// Checks a saved package as the save does (see above). False with the cause.
bool VerifySignedPackage(const QString& path, const QString& certificatePem, QString* error);

// Removes the temporary file of a save that was interrupted (recorded in the
// workspace), if any.
void RemoveInterruptedSave(const Operation& op);
