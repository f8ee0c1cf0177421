#include "cli/CliOptions.h"

#include "core/base/ErrorText.h"

#include "core/format/BuildProp.h"
#include "core/package/LibraryPlacement.h"
#include "core/package/PackageLayout.h"

#include <QFile>

namespace {

QString slotNames() {
    QStringList names;
    for (const ImageSlot& slot : kImageSlots)
        names << QLatin1String(slot.name);
    return names.join(QLatin1Char(' '));
}

// The slot names in lines of at most `width` characters after the indent.
QString wrappedSlotNames(const QString& indent, qsizetype width) {
    QString text;
    QString line = indent;
    for (const ImageSlot& slot : kImageSlots) {
        const QString name = QLatin1String(slot.name);
        if (line.size() > indent.size() && line.size() + 1 + name.size() > width) {
            text += line + QLatin1Char('\n');
            line = indent;
        }
        if (line.size() > indent.size())
            line += QLatin1Char(' ');
        line += name;
    }
    return text + line + QLatin1Char('\n');
}

// Splits "--name=value" into its parts; an argument without '=' has no
// inline value.
struct OptionWord {
    QString name;
    QString value;
    bool hasValue = false;
};

OptionWord splitOption(const QString& argument) {
    OptionWord word;
    const qsizetype equals = argument.indexOf(QLatin1Char('='));
    if (argument.startsWith(QLatin1String("--")) && equals > 2) {
        word.name = argument.left(equals);
        word.value = argument.mid(equals + 1);
        word.hasValue = true;
    } else {
        word.name = argument;
    }
    return word;
}

} // namespace

QStringList ParseArgumentFile(const QByteArray& data) {
    // Decoded whole, so that a byte order mark is the file's (dropped) and the
    // tests below see the text as it will be used.
    const QString text = QString::fromUtf8(data);
    QStringList arguments;
    for (QString line : text.split(QLatin1Char('\n'))) {
        if (line.endsWith(QLatin1Char('\r')))
            line.chop(1);
        if (line.trimmed().isEmpty() || line.startsWith(QLatin1Char('#')))
            continue;
        arguments << line;
    }
    return arguments;
}

bool ExpandArgumentFiles(const QStringList& arguments, QStringList* expanded, QString* error) {
    QStringList result;
    for (const QString& argument : arguments) {
        if (!argument.startsWith(QLatin1Char('@')) || argument.size() == 1) {
            result << argument;
            continue;
        }
        const QString path = argument.mid(1);
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly)) {
            SetError(error, QStringLiteral("cannot read the argument file \"%1\": %2")
                                .arg(path, file.errorString()));
            return false;
        }
        const QByteArray data = file.readAll();
        if (file.error() != QFileDevice::NoError) {
            SetError(error, QStringLiteral("cannot read the argument file \"%1\": %2")
                                .arg(path, file.errorString()));
            return false;
        }
        result << ParseArgumentFile(data);
    }
    *expanded = result;
    return true;
}

namespace {

// The parse in progress: the options so far and what only the parse needs.
struct ParseState {
    CliOptions* options = nullptr;
    bool overwriteGiven = false;
    // An option of two values: where the next argument goes, and the option.
    QString* secondValue = nullptr;
    QString secondValueOf{};
};

// What an option does with its value (a flag's is empty). False with the cause.
using OptionAction = bool (*)(ParseState& state, const QString& value, QString* error);

struct OptionRule {
    const char* name;      // "--output"
    const char* shortName; // "-o", or null
    CliCommand command;    // the command that takes it; None: every command
    bool takesValue;
    OptionAction action;
};

bool setOnce(QString* field, const QString& value, const char* what, QString* error) {
    if (!field->isEmpty()) {
        SetError(error, QStringLiteral("more than one %1 given").arg(QLatin1String(what)));
        return false;
    }
    *field = value;
    return true;
}

bool takeHelp(ParseState& state, const QString&, QString*) {
    state.options->help = true;
    return true;
}

bool takeJson(ParseState& state, const QString&, QString*) {
    state.options->json = true;
    return true;
}

bool takeOutput(ParseState& state, const QString& value, QString* error) {
    return setOnce(&state.options->output, value, "output", error);
}

bool takeLog(ParseState& state, const QString& value, QString* error) {
    return setOnce(&state.options->logFile, value, "--log", error);
}

bool takeVerify(ParseState& state, const QString&, QString*) {
    state.options->verify = true;
    return true;
}

// -q and -v: the last given counts.
template <CliVerbosity verbosity> bool takeVerbosity(ParseState& state, const QString&, QString*) {
    state.options->verbosity = verbosity;
    return true;
}

bool takeLogFormat(ParseState& state, const QString& value, QString* error) {
    if (value == QLatin1String("cp936")) {
        state.options->logFormat = CliLogFormat::Cp936;
    } else if (value == QLatin1String("utf8")) {
        state.options->logFormat = CliLogFormat::Utf8;
    } else {
        SetError(error, QStringLiteral("--log-format takes cp936 or utf8, not \"%1\"").arg(value));
        return false;
    }
    return true;
}

bool takeOverwrite(ParseState& state, const QString& value, QString* error) {
    if (value != QLatin1String("yes") && value != QLatin1String("no")) {
        SetError(error, QStringLiteral("--overwrite-libs takes yes or no, not \"%1\"").arg(value));
        return false;
    }
    if (state.overwriteGiven) {
        SetError(error, QStringLiteral("more than one --overwrite-libs given"));
        return false;
    }
    state.overwriteGiven = true;
    state.options->overwriteLibraries = value == QLatin1String("yes");
    return true;
}

bool takeReplace(ParseState& state, const QString& value, QString* error) {
    const qsizetype equals = value.indexOf(QLatin1Char('='));
    if (equals <= 0 || equals + 1 >= value.size()) {
        SetError(error, QStringLiteral("--replace takes SLOT=FILE, not \"%1\"").arg(value));
        return false;
    }
    const QString slot = value.left(equals);
    if (!FindImageSlot(slot)) {
        SetError(error,
                 QStringLiteral("unknown image slot \"%1\" (slots: %2)").arg(slot, slotNames()));
        return false;
    }
    state.options->edits.append({CliEdit::Kind::Replace, value.mid(equals + 1), slot});
    return true;
}

// --set-prop KEY=VALUE (the value may be empty) and --unset-prop KEY, for
// system/build.prop.
bool takeSetProp(ParseState& state, const QString& value, QString* error) {
    const qsizetype equals = value.indexOf(QLatin1Char('='));
    const QString key = value.left(equals);
    if (equals <= 0 || !IsValidBuildPropKey(key) || value.contains(QLatin1Char('\n'))) {
        SetError(error, QStringLiteral("--set-prop takes KEY=VALUE, not \"%1\"").arg(value));
        return false;
    }
    state.options->edits.append({CliEdit::Kind::SetProp, value.mid(equals + 1), key});
    return true;
}

bool takeUnsetProp(ParseState& state, const QString& value, QString* error) {
    if (!IsValidBuildPropKey(value)) {
        SetError(error, QStringLiteral("--unset-prop takes a KEY, not \"%1\"").arg(value));
        return false;
    }
    state.options->edits.append({CliEdit::Kind::UnsetProp, QString(), value});
    return true;
}

bool takePackageKey(ParseState& state, const QString& value, QString* error) {
    if (!setOnce(&state.options->packageCertificate, value, "--package-key", error))
        return false;
    state.secondValue = &state.options->packageKey;
    state.secondValueOf = QStringLiteral("--package-key");
    return true;
}

bool takePlatformKey(ParseState& state, const QString& value, QString* error) {
    if (!setOnce(&state.options->platformCertificate, value, "--platform-key", error))
        return false;
    state.secondValue = &state.options->platformKey;
    state.secondValueOf = QStringLiteral("--platform-key");
    return true;
}

bool takeAbi(ParseState& state, const QString& value, QString* error) {
    if (!state.options->abis.isEmpty()) {
        SetError(error, QStringLiteral("more than one --abi given"));
        return false;
    }
    state.options->abis = ParseAbiList(value);
    if (state.options->abis.isEmpty() || value.contains(QLatin1Char('\n'))) {
        SetError(
            error,
            QStringLiteral("--abi takes a comma-separated list of ABIs, not \"%1\"").arg(value));
        return false;
    }
    return true;
}

bool takeDryRun(ParseState& state, const QString&, QString*) {
    state.options->dryRun = true;
    return true;
}

template <CliEdit::Kind kind> bool takeEdit(ParseState& state, const QString& value, QString*) {
    state.options->edits.append({kind, value, QString()});
    return true;
}

constexpr OptionRule kOptions[] = {
    {"--help", "-h", CliCommand::None, false, takeHelp},
    {"--quiet", "-q", CliCommand::None, false, takeVerbosity<CliVerbosity::Quiet>},
    {"--verbose", "-v", CliCommand::None, false, takeVerbosity<CliVerbosity::Verbose>},
    {"--json", nullptr, CliCommand::Info, false, takeJson},
    {"--verify", nullptr, CliCommand::Info, false, takeVerify},
    {"--json", nullptr, CliCommand::Diff, false, takeJson},
    {"--output", "-o", CliCommand::Edit, true, takeOutput},
    {"--add-system", nullptr, CliCommand::Edit, true, takeEdit<CliEdit::Kind::AddSystem>},
    {"--add-priv", nullptr, CliCommand::Edit, true, takeEdit<CliEdit::Kind::AddPriv>},
    {"--add-data", nullptr, CliCommand::Edit, true, takeEdit<CliEdit::Kind::AddData>},
    {"--delete", nullptr, CliCommand::Edit, true, takeEdit<CliEdit::Kind::Delete>},
    {"--replace", nullptr, CliCommand::Edit, true, takeReplace},
    {"--overwrite-libs", nullptr, CliCommand::Edit, true, takeOverwrite},
    {"--abi", nullptr, CliCommand::Edit, true, takeAbi},
    {"--platform-key", nullptr, CliCommand::Edit, true, takePlatformKey},
    {"--set-prop", nullptr, CliCommand::Edit, true, takeSetProp},
    {"--unset-prop", nullptr, CliCommand::Edit, true, takeUnsetProp},
    {"--dry-run", nullptr, CliCommand::Edit, false, takeDryRun},
    {"--package-key", nullptr, CliCommand::Edit, true, takePackageKey},
    {"--log", nullptr, CliCommand::Edit, true, takeLog},
    {"--log-format", nullptr, CliCommand::Edit, true, takeLogFormat},
};

const OptionRule* findOption(CliCommand command, const QString& name) {
    for (const OptionRule& rule : kOptions) {
        if (rule.command != CliCommand::None && rule.command != command)
            continue;
        if (name == QLatin1String(rule.name) ||
            (rule.shortName && name == QLatin1String(rule.shortName)))
            return &rule;
    }
    return nullptr;
}

// The command word, or "help [COMMAND]" / "--help": false with the cause for
// an unknown one.
bool takeCommand(const QStringList& arguments, CliOptions* options, QString* error) {
    const QString& command = arguments.first();
    if (command == QLatin1String("--version")) {
        options->version = true;
        return true;
    }
    if (command == QLatin1String("--help") || command == QLatin1String("-h") ||
        command == QLatin1String("help")) {
        options->help = true;
        if (arguments.size() > 1 && command == QLatin1String("help")) {
            if (arguments.at(1) == QLatin1String("info"))
                options->command = CliCommand::Info;
            else if (arguments.at(1) == QLatin1String("edit"))
                options->command = CliCommand::Edit;
            else if (arguments.at(1) == QLatin1String("diff"))
                options->command = CliCommand::Diff;
        }
        return true;
    }
    if (command == QLatin1String("info")) {
        options->command = CliCommand::Info;
    } else if (command == QLatin1String("edit")) {
        options->command = CliCommand::Edit;
    } else if (command == QLatin1String("diff")) {
        options->command = CliCommand::Diff;
    } else {
        SetError(error, QStringLiteral("unknown command \"%1\"").arg(command));
        return false;
    }
    return true;
}

bool takePackage(CliOptions* options, const QString& argument, QString* error) {
    // diff compares two packages; the others take one.
    const bool second = options->command == CliCommand::Diff && !options->package.isEmpty();
    if (!options->package.isEmpty() && (!second || !options->secondPackage.isEmpty())) {
        SetError(error, options->command == CliCommand::Diff
                            ? QStringLiteral("more than two packages given (\"%1\")").arg(argument)
                            : QStringLiteral("more than one package given (\"%1\")").arg(argument));
        return false;
    }
    if (argument.isEmpty()) {
        SetError(error, QStringLiteral("the package name is empty"));
        return false;
    }
    (second ? options->secondPackage : options->package) = argument;
    return true;
}

// The option at arguments[*i] and its value (inline or the next argument,
// which *i then passes).
bool takeOption(const QStringList& arguments, qsizetype* i, ParseState& state, QString* error) {
    const OptionWord word = splitOption(arguments.at(*i));
    const OptionRule* rule = findOption(state.options->command, word.name);
    if (!rule) {
        SetError(error, QStringLiteral("unknown option \"%1\"").arg(word.name));
        return false;
    }
    if (!rule->takesValue) {
        if (word.hasValue) {
            SetError(error, QStringLiteral("%1 takes no value").arg(word.name));
            return false;
        }
        return rule->action(state, QString(), error);
    }
    QString value = word.value;
    if (!word.hasValue) {
        if (*i + 1 >= arguments.size()) {
            SetError(error, QStringLiteral("%1 needs a value").arg(word.name));
            return false;
        }
        value = arguments.at(++*i);
    }
    if (value.isEmpty()) {
        SetError(error, QStringLiteral("the value of %1 is empty").arg(word.name));
        return false;
    }
    return rule->action(state, value, error);
}

// What a command cannot run without (nothing when only its help is asked).
bool checkComplete(const CliOptions& options, QString* error) {
    if (options.help)
        return true;
    if (options.package.isEmpty()) {
        SetError(error, QStringLiteral("no package given"));
        return false;
    }
    if (options.command == CliCommand::Diff && options.secondPackage.isEmpty()) {
        SetError(error, QStringLiteral("diff needs two packages"));
        return false;
    }
    if (options.command == CliCommand::Edit && options.output.isEmpty()) {
        SetError(error, QStringLiteral("no output given (-o OUTPUT)"));
        return false;
    }
    return true;
}

} // namespace

bool ParseCliArguments(const QStringList& arguments, CliOptions* options, QString* error) {
    *options = CliOptions();
    if (arguments.isEmpty()) {
        SetError(error, QStringLiteral("no command given"));
        return false;
    }
    if (!takeCommand(arguments, options, error))
        return false;
    // "help [COMMAND]", "--help", "--version": the rest is not read.
    if (options->help || options->version)
        return true;
    ParseState state{options};
    bool onlyOperands = false;
    for (qsizetype i = 1; i < arguments.size(); ++i) {
        const QString& argument = arguments.at(i);
        if (state.secondValue) {
            if (argument.isEmpty()) {
                SetError(
                    error,
                    QStringLiteral("the second value of %1 is empty").arg(state.secondValueOf));
                return false;
            }
            *state.secondValue = argument;
            state.secondValue = nullptr;
        } else if (!onlyOperands && argument == QLatin1String("--")) {
            onlyOperands = true;
        } else if (onlyOperands || !argument.startsWith(QLatin1Char('-')) ||
                   argument == QLatin1String("-")) {
            if (!takePackage(options, argument, error))
                return false;
        } else if (!takeOption(arguments, &i, state, error)) {
            return false;
        }
    }
    if (state.secondValue) {
        SetError(error, QStringLiteral("%1 needs two values").arg(state.secondValueOf));
        return false;
    }
    return checkComplete(*options, error);
}

QString CliUsage(CliCommand command) {
    switch (command) {
    case CliCommand::Info:
        return QStringLiteral(
            "Usage: corvane-cli info PACKAGE [--json] [--verify]\n"
            "\n"
            "Shows what a firmware update package holds, reading its central directory\n"
            "and the few members that tell it (the package is not unpacked):\n"
            "- the Android version, ro.build.fingerprint and the ABIs of\n"
            "  system/build.prop;\n"
            "- each APK of system/app, system/priv-app and userdata/app: its place and\n"
            "  layout (flat, or in a directory of its own), size, package name,\n"
            "  versionCode and versionName, minSdk and targetSdk, the ABIs of its native\n"
            "  libraries, the SHA-256 of its signing certificates (v1, v2, v3) and\n"
            "  whether it is signed with the bundle's platform key;\n"
            "- the images present;\n"
            "- the whole-file signature: whether there is one and whether its signer is\n"
            "  the bundle's test key (with --verify: whether it verifies);\n"
            "- whether system/etc/security/otacerts.zip holds the test key (if not, the\n"
            "  device will refuse every later update signed with it).\n"
            "\n"
            "Options:\n"
            "  --json        print the same as one JSON object (\"schema\": 1); an error\n"
            "                is a JSON object too ({\"schema\": 1, \"error\": ...})\n"
            "  --verify      check the whole-file signature's digest against the test key\n"
            "                (reads every byte of the package)\n"
            "  -q, --quiet   no warnings\n"
            "  -v, --verbose the steps on standard error\n"
            "  -h, --help    show this help\n");
    case CliCommand::Diff:
        return QStringLiteral(
            "Usage: corvane-cli diff PACKAGE1 PACKAGE2 [--json]\n"
            "\n"
            "Compares two firmware update packages, from their central directories and\n"
            "the members that tell it (neither is unpacked): the APKs added, removed and\n"
            "changed (version, signer, size), the build.prop properties changed, and the\n"
            "images and other files changed (by CRC-32 and size).\n"
            "\n"
            "Options:\n"
            "  --json        print the same as one JSON object (\"schema\": 1)\n"
            "  -q, --quiet   no warnings\n"
            "  -v, --verbose the steps on standard error\n"
            "  -h, --help    show this help\n"
            "\n"
            "Exit status: 0 the packages are the same, 1 they differ, 2 an error.\n");
    case CliCommand::Edit:
        return QStringLiteral(
                   "Usage: corvane-cli edit PACKAGE -o OUTPUT [EDIT]... [OPTION]...\n"
                   "\n"
                   "Opens PACKAGE, applies the edits in the order given and saves the package,\n"
                   "signed with the test key, as OUTPUT. OUTPUT is written only when every edit\n"
                   "succeeded and the signed package checks out; it cannot be PACKAGE.\n"
                   "\n"
                   "Edits (each may be given any number of times):\n"
                   "  --add-system APK       add the APK to system/app, signed with the platform\n"
                   "                         key; its native libraries go to system/lib and\n"
                   "                         system/lib64, those of the device's ABIs only\n"
                   "  --add-priv APK         the same into system/priv-app\n"
                   "  --add-data APK         add the APK to userdata/app\n"
                   "  --delete NAME          delete the APK of that file name from system/app,\n"
                   "                         system/priv-app or userdata/app; it must match\n"
                   "                         exactly one (a path such as system/app/Foo.apk\n"
                   "                         picks one)\n"
                   "  --replace SLOT=FILE    replace an image with FILE; SLOT is one of\n"
                   "%1"
                   "\n"
                   "Options:\n"
                   "  -o, --output OUTPUT    the package to write\n"
                   "  --overwrite-libs yes|no\n"
                   "                         whether an added APK's native library may replace\n"
                   "                         one of the same name (default no: the add fails)\n"
                   "  --abi LIST             the device's ABIs, comma-separated, most preferred\n"
                   "                         first (default: ro.product.cpu.abilist, else\n"
                   "                         ro.product.cpu.abi and abi2, of system/build.prop);\n"
                   "                         for each of 32 and 64 bits an added APK's libraries\n"
                   "                         of the first of them it has are placed, the others\n"
                   "                         are left out with a warning (with no ABI known, all\n"
                   "                         go to system/lib)\n"
                   "  --set-prop KEY=VALUE   set KEY in system/build.prop (its line edited in\n"
                   "                         place, or added at the end)\n"
                   "  --unset-prop KEY       remove KEY's lines from system/build.prop\n"
                   "  --package-key CERT KEY sign the package with this certificate (PEM or\n"
                   "                         DER) and unencrypted PKCS#8 key (PEM or DER)\n"
                   "                         instead of the bundle's test key\n"
                   "  --platform-key CERT KEY\n"
                   "                         sign the added system APKs with this pair (the\n"
                   "                         same formats) instead of the platform key\n"
                   "  --dry-run              check the arguments and the package, print what\n"
                   "                         would be done, write nothing\n"
                   "  --log FILE             write the change log (as log.txt: CP936, CRLF)\n"
                   "                         once OUTPUT is written\n"
                   "  --log-format cp936|utf8\n"
                   "                         utf8: the log in UTF-8 with LF line ends and\n"
                   "                         ISO 8601 times (default cp936)\n"
                   "  -q, --quiet            no warnings and no summary\n"
                   "  -v, --verbose          the steps on standard error\n"
                   "  -h, --help             show this help\n"
                   "\n"
                   "An APK of the same name as an added one is replaced; a file without the\n"
                   ".apk extension is not added.\n")
            .arg(wrappedSlotNames(QStringLiteral("                         "), 80));
    case CliCommand::None:
        break;
    }
    return QStringLiteral(
        "Usage: corvane-cli COMMAND [ARGUMENT]...\n"
        "\n"
        "Reads and edits firmware update packages without a window, with the tools\n"
        "and keys of the bundle beside it, in a private workspace of its own.\n"
        "\n"
        "Commands:\n"
        "  info PACKAGE [--json]         what the package holds\n"
        "  edit PACKAGE -o OUTPUT ...    edit the package and save it signed\n"
        "  diff PACKAGE1 PACKAGE2 [--json]\n"
        "                                what differs between two packages\n"
        "\n"
        "\"corvane-cli COMMAND --help\" shows the options of a command;\n"
        "\"corvane-cli --version\" the version.\n"
        "-q (--quiet) drops the warnings and the summary, -v (--verbose) shows the\n"
        "steps; both are taken by every command.\n"
        "An argument @FILE stands for the lines of FILE, one argument a line (an\n"
        "option and its value on separate lines; blank lines and lines beginning\n"
        "with '#' are skipped; UTF-8).\n"
        "edit unpacks the package into a private workspace below TMPDIR (or /tmp),\n"
        "which needs room for its files and a copy of it; the workspace is removed\n"
        "at the end.\n"
        "\n"
        "Exit status: 0 success, 1 an operation failed, 2 a usage error, 130 stopped\n"
        "by a signal; diff: 0 the same, 1 different, 2 an error.\n");
}
