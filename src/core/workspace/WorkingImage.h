#pragma once

#include "core/format/BlockImageCodec.h"

#include <QString>

class ToolRunner;
class WorkspacePaths;

// A package that carries its system partition as an ext4 image is edited
// through a working image: the partition decoded to a raw file beside the
// working archive (WorkspacePaths::workingSystemImage), whose files are also
// unpacked into the tree's system/ so that the pages and the editor read
// them as they read files. Its state file holds what writing the image back
// in its form needs, or why the image cannot be edited.
struct WorkingImageState {
    bool present = false; // a working image was made for the open package
    BlockImageLayout layout;
    QString refusal; // not empty: the image is not edited, for this cause

    static WorkingImageState read(const QString& statePath);
    // Replaces the state file (written beside it, renamed into place).
    bool write(const QString& statePath, QString* error = nullptr) const;
};

// Removes the working image and its state (a new package is opened).
void RemoveWorkingImage(const WorkspacePaths& paths);

// The open's step for an image partition, run after the package is unpacked
// into tree: when the tree's root holds the system partition as an image,
// the image is decoded into the working image (busy text "Decompressing
// files", its percent, its stop), checked by e2fsck, and its files written
// into tree/system. Answers false with the cause only for a stop
// ("stopped") or a failure of the workspace (a full disk); an image that
// cannot be edited (incremental, damaged, not ext4) is no failure of the
// open: its cause is kept in the state, and the edits of the system
// partition are refused naming it. Nothing is done for a package in files.
// Fault points, each reached with the open's record still at "Opening" (a
// kill there leaves a workspace that is not resumed; the next open clears
// it):
//   "open:decoding-image"  at each step of the decoding; the working image is
//                          partial and is removed by a stop;
//   "open:image-decoded"   the working image is whole, the tree has no
//                          system/ files from it yet;
//   "open:image-unpacked"  the image's files are in the tree, the image's
//                          state is not yet written.
bool OpenWorkingImage(ToolRunner& runner, const WorkspacePaths& paths, const QString& tree,
                      QString* cause);
