#include "core/base/DesktopApplications.h"

#include "core/base/FileHelpers.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QProcess>
#include <QSet>
#include <QStandardPaths>

#include <algorithm>

namespace {

// The groups of a key file, each a map of its keys; the first occurrence of
// a key in a group wins.
using KeyFileGroups = QHash<QString, QHash<QString, QString>>;

KeyFileGroups ReadKeyFile(const QString& path) {
    KeyFileGroups groups;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return groups;
    const QString text = QString::fromUtf8(file.readAll());
    QString group;
    for (QString line : text.split(QLatin1Char('\n'))) {
        line = line.trimmed();
        if (line.isEmpty() || line.startsWith(QLatin1Char('#')))
            continue;
        if (line.startsWith(QLatin1Char('[')) && line.endsWith(QLatin1Char(']'))) {
            group = line.mid(1, line.size() - 2);
            continue;
        }
        const qsizetype equals = line.indexOf(QLatin1Char('='));
        if (equals <= 0 || group.isEmpty())
            continue;
        const QString key = line.left(equals).trimmed();
        QHash<QString, QString>& keys = groups[group];
        if (!keys.contains(key))
            keys.insert(key, line.mid(equals + 1).trimmed());
    }
    return groups;
}

// Resolves the escapes of a string value: \s \n \t \r \\. Any other
// backslash is kept with its character (the Exec quoting rules see it).
QString UnescapeValue(const QString& value) {
    QString out;
    out.reserve(value.size());
    for (qsizetype i = 0; i < value.size(); ++i) {
        const QChar c = value.at(i);
        if (c != QLatin1Char('\\') || i + 1 == value.size()) {
            out += c;
            continue;
        }
        const QChar next = value.at(++i);
        switch (next.unicode()) {
        case 's':
            out += QLatin1Char(' ');
            break;
        case 'n':
            out += QLatin1Char('\n');
            break;
        case 't':
            out += QLatin1Char('\t');
            break;
        case 'r':
            out += QLatin1Char('\r');
            break;
        case '\\':
            out += QLatin1Char('\\');
            break;
        default:
            out += c;
            out += next;
            break;
        }
    }
    return out;
}

// A list value: entries separated by ';' ("\;" is a literal semicolon),
// empty entries left out.
QStringList SplitListValue(const QString& value) {
    QStringList entries;
    QString current;
    for (qsizetype i = 0; i < value.size(); ++i) {
        const QChar c = value.at(i);
        if (c == QLatin1Char('\\') && i + 1 < value.size() && value.at(i + 1) == QLatin1Char(';')) {
            current += QLatin1Char(';');
            ++i;
        } else if (c == QLatin1Char(';')) {
            entries << current;
            current.clear();
        } else {
            current += c;
        }
    }
    entries << current;
    QStringList out;
    for (const QString& entry : std::as_const(entries)) {
        const QString unescaped = UnescapeValue(entry).trimmed();
        if (!unescaped.isEmpty())
            out << unescaped;
    }
    return out;
}

bool IsTrue(const QString& value) {
    return value == QLatin1String("true");
}

bool ProgramInstalled(const QString& program) {
    if (program.contains(QLatin1Char('/'))) {
        const QFileInfo info(program);
        return info.isFile() && info.isExecutable();
    }
    return !QStandardPaths::findExecutable(program).isEmpty();
}

// A directory list from the environment: absolute entries only; the
// fallback when the variable is unset or has none.
QStringList DirectoriesFromEnvironment(const char* variable, const QStringList& fallback) {
    QStringList out;
    for (const QString& entry :
         qEnvironmentVariable(variable).split(QLatin1Char(':'), Qt::SkipEmptyParts)) {
        if (QDir::isAbsolutePath(entry))
            out << QDir::cleanPath(entry);
    }
    return out.isEmpty() ? fallback : out;
}

// Collects the desktop entries below dir; the id of an entry in a
// subdirectory joins the directories with '-'.
void CollectDesktopFiles(const QString& dir, const QString& idPrefix,
                         QList<QPair<QString, QString>>* files) {
    for (const QString& name : FileHelpers::ListDirectory(dir)) {
        const QString path = dir + QLatin1Char('/') + name;
        if (FileHelpers::IsDirectory(path))
            CollectDesktopFiles(path, idPrefix + name + QLatin1Char('-'), files);
        else if (name.endsWith(QLatin1String(".desktop")))
            files->append({idPrefix + name, path});
    }
}

QHash<QString, DesktopApplication> ApplicationsById(const XdgSearchPaths& paths) {
    QHash<QString, DesktopApplication> byId;
    for (const DesktopApplication& application : InstalledApplications(paths))
        byId.insert(application.id, application);
    return byId;
}

enum class FieldCode { File, Dropped, Percent };

FieldCode ClassifyFieldCode(QChar code) {
    switch (code.unicode()) {
    case 'f':
    case 'F':
    case 'u':
    case 'U':
        return FieldCode::File;
    case '%':
        return FieldCode::Percent;
    default:
        return FieldCode::Dropped;
    }
}

} // namespace

XdgSearchPaths XdgSearchPaths::fromEnvironment() {
    const QString home = QDir::homePath();
    const QStringList configHome =
        DirectoriesFromEnvironment("XDG_CONFIG_HOME", {home + QStringLiteral("/.config")});
    const QStringList configDirs =
        DirectoriesFromEnvironment("XDG_CONFIG_DIRS", {QStringLiteral("/etc/xdg")});
    const QStringList dataHome =
        DirectoriesFromEnvironment("XDG_DATA_HOME", {home + QStringLiteral("/.local/share")});
    const QStringList dataDirs = DirectoriesFromEnvironment(
        "XDG_DATA_DIRS", {QStringLiteral("/usr/local/share"), QStringLiteral("/usr/share")});

    XdgSearchPaths paths;
    // A home variable names one directory.
    paths.associationDirs << configHome.first() << configDirs;
    for (const QString& dir : QStringList{dataHome.first()} + dataDirs)
        paths.applicationDirs << dir + QStringLiteral("/applications");
    paths.associationDirs << paths.applicationDirs;
    for (const QString& name :
         qEnvironmentVariable("XDG_CURRENT_DESKTOP").split(QLatin1Char(':'), Qt::SkipEmptyParts))
        paths.desktopNames << name.toLower();
    return paths;
}

bool ReadDesktopFile(const QString& path, const QString& id, DesktopApplication* application) {
    const KeyFileGroups groups = ReadKeyFile(path);
    const auto entry = groups.constFind(QStringLiteral("Desktop Entry"));
    if (entry == groups.constEnd())
        return false;
    const QHash<QString, QString>& keys = *entry;
    if (keys.value(QStringLiteral("Type")) != QLatin1String("Application") ||
        IsTrue(keys.value(QStringLiteral("Hidden"))))
        return false;
    const QString exec = UnescapeValue(keys.value(QStringLiteral("Exec")));
    if (exec.trimmed().isEmpty())
        return false;
    const QString tryExec = UnescapeValue(keys.value(QStringLiteral("TryExec")));
    if (!tryExec.isEmpty() && !ProgramInstalled(tryExec))
        return false;

    DesktopApplication result;
    result.id = id;
    result.filePath = path;
    result.name = UnescapeValue(keys.value(QStringLiteral("Name")));
    if (result.name.isEmpty())
        result.name = QFileInfo(id).completeBaseName();
    result.exec = exec;
    result.mimeTypes = SplitListValue(keys.value(QStringLiteral("MimeType")));
    result.terminal = IsTrue(keys.value(QStringLiteral("Terminal")));
    result.noDisplay = IsTrue(keys.value(QStringLiteral("NoDisplay")));
    *application = result;
    return true;
}

QList<DesktopApplication> InstalledApplications(const XdgSearchPaths& paths) {
    QList<DesktopApplication> applications;
    // An id seen once hides every later entry of that id, launchable or not.
    QSet<QString> seen;
    for (const QString& dir : paths.applicationDirs) {
        QList<QPair<QString, QString>> files;
        CollectDesktopFiles(dir, QString(), &files);
        for (const auto& [id, path] : std::as_const(files)) {
            if (seen.contains(id))
                continue;
            seen.insert(id);
            DesktopApplication application;
            if (ReadDesktopFile(path, id, &application))
                applications << application;
        }
    }
    return applications;
}

bool FindDefaultApplication(const XdgSearchPaths& paths, const QString& mimeType,
                            DesktopApplication* application) {
    const QHash<QString, DesktopApplication> installed = ApplicationsById(paths);
    QStringList listNames;
    for (const QString& desktop : paths.desktopNames)
        listNames << desktop + QStringLiteral("-mimeapps.list");
    listNames << QStringLiteral("mimeapps.list");

    for (const QString& dir : paths.associationDirs) {
        for (const QString& listName : std::as_const(listNames)) {
            const KeyFileGroups groups = ReadKeyFile(dir + QLatin1Char('/') + listName);
            const QString value =
                groups.value(QStringLiteral("Default Applications")).value(mimeType);
            for (const QString& id : SplitListValue(value)) {
                const auto found = installed.constFind(id);
                if (found != installed.constEnd()) {
                    *application = *found;
                    return true;
                }
            }
        }
    }
    return false;
}

QList<DesktopApplication> ApplicationsForMimeType(const XdgSearchPaths& paths,
                                                  const QString& mimeType) {
    QList<DesktopApplication> matching;
    for (const DesktopApplication& application : InstalledApplications(paths)) {
        if (!application.noDisplay && application.mimeTypes.contains(mimeType))
            matching << application;
    }
    std::stable_sort(matching.begin(), matching.end(),
                     [](const DesktopApplication& a, const DesktopApplication& b) {
                         return a.name.compare(b.name, Qt::CaseInsensitive) < 0;
                     });
    return matching;
}

bool SplitExecLine(const QString& exec, QStringList* arguments) {
    QStringList out;
    QString current;
    bool inArgument = false;
    bool inQuotes = false;
    for (qsizetype i = 0; i < exec.size(); ++i) {
        const QChar c = exec.at(i);
        if (inQuotes) {
            if (c == QLatin1Char('\\') && i + 1 < exec.size() &&
                QStringLiteral("\"`$\\").contains(exec.at(i + 1))) {
                current += exec.at(++i);
            } else if (c == QLatin1Char('"')) {
                inQuotes = false;
            } else {
                current += c;
            }
        } else if (c == QLatin1Char(' ') || c == QLatin1Char('\t') || c == QLatin1Char('\n')) {
            if (inArgument)
                out << current;
            current.clear();
            inArgument = false;
        } else if (c == QLatin1Char('"')) {
            inQuotes = true;
            inArgument = true;
        } else {
            current += c;
            inArgument = true;
        }
    }
    if (inQuotes)
        return false;
    if (inArgument)
        out << current;
    if (out.isEmpty())
        return false;
    *arguments = out;
    return true;
}

bool CommandLineForFile(const DesktopApplication& application, const QString& filePath,
                        QStringList* commandLine) {
    QStringList split;
    if (!SplitExecLine(application.exec, &split))
        return false;

    QStringList expanded;
    bool fileGiven = false;
    for (const QString& argument : std::as_const(split)) {
        // A field code standing alone is replaced (or dropped) as a whole.
        if (argument.size() == 2 && argument.at(0) == QLatin1Char('%')) {
            switch (ClassifyFieldCode(argument.at(1))) {
            case FieldCode::File:
                fileGiven = true;
                if (!filePath.isEmpty())
                    expanded << filePath;
                continue;
            case FieldCode::Percent:
                expanded << QStringLiteral("%");
                continue;
            case FieldCode::Dropped:
                continue;
            }
        }
        QString result;
        bool hasFile = false;
        for (qsizetype i = 0; i < argument.size(); ++i) {
            const QChar c = argument.at(i);
            if (c != QLatin1Char('%') || i + 1 == argument.size()) {
                result += c;
                continue;
            }
            switch (ClassifyFieldCode(argument.at(++i))) {
            case FieldCode::File:
                hasFile = true;
                result += filePath;
                break;
            case FieldCode::Percent:
                result += QLatin1Char('%');
                break;
            case FieldCode::Dropped:
                break;
            }
        }
        fileGiven = fileGiven || hasFile;
        // Without a file, an argument that only makes sense with one goes.
        if (!(hasFile && filePath.isEmpty()))
            expanded << result;
    }
    if (expanded.isEmpty())
        return false;
    if (!fileGiven && !filePath.isEmpty())
        expanded << filePath;

    if (application.terminal) {
        const QStringList terminal = TerminalEmulator();
        if (terminal.isEmpty())
            return false;
        expanded = terminal + QStringList{QStringLiteral("-e")} + expanded;
    }
    *commandLine = expanded;
    return true;
}

QStringList TerminalEmulator() {
    const QStringList chosen = QProcess::splitCommand(qEnvironmentVariable("TERMINAL"));
    if (!chosen.isEmpty() && ProgramInstalled(chosen.first()))
        return chosen;
    const QString fallback = QStandardPaths::findExecutable(QStringLiteral("x-terminal-emulator"));
    return fallback.isEmpty() ? QStringList() : QStringList{fallback};
}

bool TerminalEditorCommandLine(const QString& filePath, QStringList* commandLine) {
    QStringList editor;
    for (const char* variable : {"VISUAL", "EDITOR"}) {
        editor = QProcess::splitCommand(qEnvironmentVariable(variable));
        if (!editor.isEmpty())
            break;
    }
    if (editor.isEmpty() || !ProgramInstalled(editor.first()))
        return false;
    const QStringList terminal = TerminalEmulator();
    if (terminal.isEmpty())
        return false;
    *commandLine = terminal + QStringList{QStringLiteral("-e")} + editor + QStringList{filePath};
    return true;
}
