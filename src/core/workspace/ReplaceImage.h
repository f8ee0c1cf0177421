#pragma once

#include "core/base/Result.h"

#include <QString>

struct ImageSlot;
struct Operation;

// Replaces the slot's file with the source: the working archive's member
// first (one commit), then the tree's file (through a temporary name); logs
// the replacement. A failed archive update fails with the slot's message and
// changes nothing; a failed copy into the tree fails with "Copy failed!" and
// is finished from the archive at the next start.
Result ReplaceImage(const Operation& op, const ImageSlot& slot, const QString& sourcePath);
