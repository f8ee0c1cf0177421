// corvane-cli's argument files (@FILE): any bytes are read into arguments,
// and those arguments through the command-line parser, without a crash, and
// with what the argument file format promises.

#include "cli/CliOptions.h"
#include "cli/Command.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <cstddef>
#include <cstdint>
#include <cstdlib>

namespace {

void require(bool condition) {
    if (!condition)
        std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QByteArray bytes =
        QByteArray::fromRawData(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    const QStringList arguments = ParseArgumentFile(bytes);

    // One argument at most a line; none spans lines, none is a comment.
    require(arguments.size() <= bytes.count('\n') + 1);
    bool endsInCarriageReturn = false;
    for (const QString& argument : arguments) {
        require(!argument.trimmed().isEmpty());
        require(!argument.contains(QLatin1Char('\n')));
        require(!argument.startsWith(QLatin1Char('#')));
        endsInCarriageReturn = endsInCarriageReturn || argument.endsWith(QLatin1Char('\r'));
    }
    // The arguments written back one a line, after a byte order mark, read as
    // the same arguments (a trailing CR would be taken for the line's end).
    if (!endsInCarriageReturn)
        require(ParseArgumentFile("\xEF\xBB\xBF" + arguments.join(QLatin1Char('\n')).toUtf8()) ==
                arguments);

    CliOptions options;
    QString error;
    if (ParseCliArguments(arguments, &options, &error)) {
        require(options.help || !options.package.isEmpty());
        require(options.help || options.command != CliCommand::Edit || !options.output.isEmpty());
        for (const CliEdit& edit : options.edits)
            require(!edit.argument.isEmpty());
    } else {
        require(!error.isEmpty());
    }
    require(!CliUsage(options.command).isEmpty());
    return 0;
}
