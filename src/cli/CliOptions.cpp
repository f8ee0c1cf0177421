#include "cli/CliOptions.h"

#include "core/base/ErrorText.h"

#include "core/package/EditPlan.h"
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

bool ExpandArgumentFiles(const QStringList& arguments, QStringList* expanded, QString* error,
                         QStringList* argumentFiles) {
    QStringList result;
    QStringList files;
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
        // Read up to one byte past the limit: a device such as /dev/zero
        // never ends.
        QByteArray data;
        while (data.size() <= kLargestArgumentFile) {
            const QByteArray chunk = file.read(kLargestArgumentFile + 1 - data.size());
            if (chunk.isEmpty())
                break;
            data += chunk;
        }
        if (file.error() != QFileDevice::NoError) {
            SetError(error, QStringLiteral("cannot read the argument file \"%1\": %2")
                                .arg(path, file.errorString()));
            return false;
        }
        if (data.size() > kLargestArgumentFile) {
            SetError(error, QStringLiteral("the argument file \"%1\" is larger than %2 MiB")
                                .arg(path)
                                .arg(kLargestArgumentFile >> 20));
            return false;
        }
        result << ParseArgumentFile(data);
        files << path;
    }
    *expanded = result;
    if (argumentFiles)
        *argumentFiles = files;
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

bool takeCert(ParseState& state, const QString& value, QString* error) {
    state.options->verify = true;
    return setOnce(&state.options->verifyCertificate, value, "--cert", error);
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
// Keys and values are one line of printable text: the character refused is
// named, the argument is not shown.
bool refuseUnprintable(const char* option, const QString& value, QString* error) {
    const QString character = UnprintableCharacter(value);
    if (character.isEmpty())
        return false;
    SetError(error, QStringLiteral("%1: the character %2 is not allowed (keys and values are one "
                                   "line of printable text)")
                        .arg(QLatin1String(option), character));
    return true;
}

bool takeSetProp(ParseState& state, const QString& value, QString* error) {
    const qsizetype equals = value.indexOf(QLatin1Char('='));
    const QString key = value.left(equals);
    if (refuseUnprintable("--set-prop", value, error))
        return false;
    if (equals <= 0 || !IsWritablePropertyKey(key)) {
        SetError(error, QStringLiteral("--set-prop takes KEY=VALUE, not \"%1\"").arg(value));
        return false;
    }
    state.options->edits.append({CliEdit::Kind::SetProp, value.mid(equals + 1), key});
    return true;
}

bool takeUnsetProp(ParseState& state, const QString& value, QString* error) {
    if (refuseUnprintable("--unset-prop", value, error))
        return false;
    if (!IsWritablePropertyKey(value)) {
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

bool takeBrotliQuality(ParseState& state, const QString& value, QString* error) {
    if (state.options->brotliQualityGiven) {
        SetError(error, QStringLiteral("more than one --brotli-quality given"));
        return false;
    }
    bool ok = false;
    const int quality = value.toInt(&ok);
    if (!ok || quality < 0 || quality > 11 || value.size() > 2) {
        SetError(
            error,
            QStringLiteral("--brotli-quality takes a number from 0 to 11, not \"%1\"").arg(value));
        return false;
    }
    state.options->brotliQuality = quality;
    state.options->brotliQualityGiven = true;
    return true;
}

bool takeNoErase(ParseState& state, const QString&, QString*) {
    state.options->noErase = true;
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
    {"--cert", nullptr, CliCommand::Info, true, takeCert},
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
    {"--json", nullptr, CliCommand::Edit, false, takeJson},
    {"--package-key", nullptr, CliCommand::Edit, true, takePackageKey},
    {"--log", nullptr, CliCommand::Edit, true, takeLog},
    {"--log-format", nullptr, CliCommand::Edit, true, takeLogFormat},
    {"--brotli-quality", nullptr, CliCommand::Edit, true, takeBrotliQuality},
    {"--no-erase", nullptr, CliCommand::Edit, false, takeNoErase},
};

// The edit distance of two words (insertions, deletions, substitutions).
qsizetype editDistance(const QString& a, const QString& b) {
    QList<qsizetype> row(b.size() + 1);
    for (qsizetype j = 0; j <= b.size(); ++j)
        row[j] = j;
    for (qsizetype i = 1; i <= a.size(); ++i) {
        qsizetype diagonal = row[0];
        row[0] = i;
        for (qsizetype j = 1; j <= b.size(); ++j) {
            const qsizetype above = row[j];
            row[j] = std::min(
                {row[j] + 1, row[j - 1] + 1, diagonal + (a.at(i - 1) == b.at(j - 1) ? 0 : 1)});
            diagonal = above;
        }
    }
    return row[b.size()];
}

// " (did you mean 'NAME'?)" for the candidate nearest a mistyped word, when
// one is near enough to be a typo (a quarter of its letters, at least two);
// empty otherwise. The first of equally near candidates is named.
QString nearest(const QString& word, const QStringList& candidates) {
    QString best;
    qsizetype bestDistance = std::max<qsizetype>(2, word.size() / 4) + 1;
    for (const QString& candidate : candidates) {
        const qsizetype distance = editDistance(word, candidate);
        if (distance < bestDistance) {
            best = candidate;
            bestDistance = distance;
        }
    }
    return best.isEmpty() ? QString() : QStringLiteral(" (did you mean '%1'?)").arg(best);
}

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
        SetError(
            error,
            QStringLiteral("unknown command \"%1\"%2")
                .arg(command, nearest(command, {QStringLiteral("info"), QStringLiteral("edit"),
                                                QStringLiteral("diff"), QStringLiteral("help")})));
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
        QStringList names;
        for (const OptionRule& candidate : kOptions) {
            if (candidate.command == CliCommand::None ||
                candidate.command == state.options->command)
                names << QLatin1String(candidate.name);
        }
        SetError(
            error,
            QStringLiteral("unknown option \"%1\"%2").arg(word.name, nearest(word.name, names)));
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

// The command and what follows it, into options as they stand.
bool parseCommandLine(const QStringList& arguments, CliOptions* options, QString* error) {
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

} // namespace

bool ParseCliArguments(const QStringList& arguments, CliOptions* options, QString* error) {
    *options = CliOptions();
    // -q and -v may come before the command too (the last given counts).
    qsizetype first = 0;
    for (; first < arguments.size(); ++first) {
        const QString& argument = arguments.at(first);
        if (argument == QLatin1String("-q") || argument == QLatin1String("--quiet"))
            options->verbosity = CliVerbosity::Quiet;
        else if (argument == QLatin1String("-v") || argument == QLatin1String("--verbose"))
            options->verbosity = CliVerbosity::Verbose;
        else
            break;
    }
    return parseCommandLine(arguments.mid(first), options, error);
}
