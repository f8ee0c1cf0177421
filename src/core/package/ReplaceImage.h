#pragma once

#include <QString>

struct ImageSlot;
struct Operation;

// Replaces the slot's file with the source: the working archive's member
// first (one commit), then the tree's file (through a temporary name); logs
// the replacement. A failed archive update is reported with the slot's
// message and changes nothing; a failed copy into the tree is reported as
// "Copy failed!" and finished from the archive at the next start.
bool ReplaceImage(const Operation& op, const ImageSlot& slot, const QString& sourcePath,
                  QString* error = nullptr);
