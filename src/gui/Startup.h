#pragma once

// Start-up: single-instance check, AppDirectory, busy dialog, resume prompt,
// then the main window, modally. Returns the process's exit code.
int RunCorvane();

// The resume prompt: when a tree of the last run is kept, asks whether to
// continue. Yes keeps it and takes up the kept working archive; No deletes
// the tree (the working archive and Apktemp stay).
void OfferToResume();
