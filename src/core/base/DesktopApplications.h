#pragma once

#include <QList>
#include <QString>
#include <QStringList>

// The desktop's application registry: desktop entry files and the mimeapps.list
// associations of the freedesktop.org standards. Used to find the text editor
// the user prefers and the applications that can open plain text.

// Where the registry lives, most important directory first.
struct XdgSearchPaths {
    // Directories searched for mimeapps.list (and <desktop>-mimeapps.list):
    // $XDG_CONFIG_HOME, $XDG_CONFIG_DIRS, $XDG_DATA_HOME/applications,
    // $XDG_DATA_DIRS/applications.
    QStringList associationDirs;
    // Directories holding desktop entries: $XDG_DATA_HOME/applications,
    // $XDG_DATA_DIRS/applications.
    QStringList applicationDirs;
    // $XDG_CURRENT_DESKTOP, lower case, in order.
    QStringList desktopNames;

    // Built from the environment, with the standard defaults for variables
    // that are unset or empty; relative entries are ignored.
    static XdgSearchPaths fromEnvironment();
};

// One launchable application entry.
struct DesktopApplication {
    QString id;       // desktop file id, e.g. "org.example.Editor.desktop"
    QString filePath; // the entry file
    QString name;     // Name
    QString exec;     // Exec, with the string escapes resolved
    QStringList mimeTypes;
    bool terminal = false;
    bool noDisplay = false;
};

// Reads one desktop entry file. False when it is not a launchable
// application: not Type=Application, Hidden, no Exec, or a TryExec program
// that is not installed.
bool ReadDesktopFile(const QString& path, const QString& id, DesktopApplication* application);

// Every launchable application, each id once (the most important directory
// wins), in the order of the directories and then of the names.
QList<DesktopApplication> InstalledApplications(const XdgSearchPaths& paths);

// The application registered as the default for the MIME type: the first
// installed entry listed under [Default Applications] in the mimeapps.list
// files, in lookup order. False when there is none.
bool FindDefaultApplication(const XdgSearchPaths& paths, const QString& mimeType,
                            DesktopApplication* application);

// The installed applications whose MimeType declares the type, leaving out
// entries hidden from menus, ordered by name.
QList<DesktopApplication> ApplicationsForMimeType(const XdgSearchPaths& paths,
                                                  const QString& mimeType);

// Splits an Exec value into arguments by its quoting rules. False when a
// quote is not closed or the line is empty.
bool SplitExecLine(const QString& exec, QStringList* arguments);

// The program and arguments that open the file with the application: the
// file codes (%f %F %u %U) become the path as one argument (appended when the
// line has none), the other field codes are dropped, "%%" is a "%". A
// terminal application is run in the terminal emulator (TerminalEmulator). With an
// empty path the file codes are dropped and nothing is appended. False when
// the line cannot be used or the terminal emulator is missing.
bool CommandLineForFile(const DesktopApplication& application, const QString& filePath,
                        QStringList* commandLine);

// The terminal emulator that runs a program given after "-e": $TERMINAL
// when it names an installed program (it may carry arguments of its own),
// else x-terminal-emulator. Empty when there is none.
QStringList TerminalEmulator();

// The user's own editor ($VISUAL, else $EDITOR; either may carry arguments)
// opening the file in the terminal emulator: what is left when no desktop
// editor is known. False when neither variable names a program or there is
// no terminal emulator.
bool TerminalEditorCommandLine(const QString& filePath, QStringList* commandLine);
