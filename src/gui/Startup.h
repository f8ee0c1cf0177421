#pragma once

class CCorvaneApp;

// Start-up: single-instance check (keyed to the workspace), AppDirectory,
// busy dialog, the workspace's recovery and resume prompt, then the main
// window, modally. Returns the process's exit code.
int RunCorvane();

// The resume step of start-up on the app's workspace (see ResumeWorkspace).
void OfferToResume(CCorvaneApp& app);
