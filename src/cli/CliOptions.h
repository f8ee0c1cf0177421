#pragma once

#include "core/format/BlockImageCodec.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

// The command line of corvane-cli, parsed: which command, its package, and
// for edit the output, the edits in the order given and the answers to the
// core's questions.

enum class CliCommand { None, Info, Edit, Diff };

// How much goes to standard error besides failures: Quiet drops warnings and
// the summary, Verbose adds the steps.
enum class CliVerbosity { Quiet, Normal, Verbose };

// The change log's file format: as the window writes log.txt (code page 936,
// CR LF), or UTF-8 with LF and ISO 8601 times.
enum class CliLogFormat { Cp936, Utf8 };

struct CliEdit {
    enum class Kind { AddSystem, AddData, Delete, Replace, SetProp, UnsetProp, AddPriv };
    Kind kind = Kind::AddSystem;
    QString argument; // the APK file, the APK name, the replacement file, or a property's value
    QString slot;     // Replace: the image slot ("logo.img"); SetProp, UnsetProp: the key
};

struct CliOptions {
    CliCommand command = CliCommand::None;
    bool help = false;    // --help: the usage of the command (or of all) on stdout
    bool version = false; // --version: the program and its version on stdout
    bool json = false;    // info, diff, edit --json
    bool verify = false;  // info --verify: the whole-file signature's digest checked
    // info --cert CERT: the certificate the check is made against instead of
    // the test key (implies --verify).
    QString verifyCertificate;
    CliVerbosity verbosity = CliVerbosity::Normal;
    QString package;
    QString secondPackage; // diff: the package compared with the first
    QString output;
    QList<CliEdit> edits;
    // edit --package-key CERT KEY: the whole-file signature's key instead of the
    // bundle's test key (certificate PEM or DER, unencrypted PKCS#8 PEM or DER).
    QString packageCertificate;
    QString packageKey;
    bool dryRun =
        false; // edit --dry-run: every argument checked, the plan printed, nothing written
    bool overwriteLibraries = false; // the answer to a library overwrite question
    // edit --abi LIST: the device's ABIs for placing added libraries, instead
    // of those of the package's system/build.prop.
    QStringList abis;
    // edit --platform-key CERT KEY: the pair system APKs are signed with
    // instead of the platform key (the formats of --package-key).
    QString platformCertificate;
    QString platformKey;
    QString logFile;
    CliLogFormat logFormat = CliLogFormat::Cp936;
    // edit --brotli-quality N: the quality (0 to 11) a partition image carried
    // as .new.dat.br is compressed with again; --no-erase: its free blocks
    // written as zero instead of erase.
    int brotliQuality = kDefaultBrotliQuality;
    bool brotliQualityGiven = false;
    bool noErase = false;
    // The argument files (@FILE) the arguments were read from: the log must
    // not overwrite one.
    QStringList argumentFiles;
};

// The arguments an argument file holds: one argument a line, UTF-8 (a byte
// order mark at the start dropped), a trailing CR stripped, blank lines and
// lines beginning with '#' skipped. Any bytes are accepted (invalid UTF-8
// becomes replacement characters).
QStringList ParseArgumentFile(const QByteArray& data);

// The largest argument file taken, in bytes.
inline constexpr qsizetype kLargestArgumentFile = qsizetype(1) << 20;

// Replaces every argument "@FILE" by the lines of FILE (ParseArgumentFile).
// Arguments read from a file are taken literally (no nested @FILE).
// False with the cause when a file cannot be read or is larger than
// kLargestArgumentFile (whatever kind of file it is: /dev/zero too).
// argumentFiles, when given, receives the paths of the files read.
bool ExpandArgumentFiles(const QStringList& arguments, QStringList* expanded, QString* error,
                         QStringList* argumentFiles = nullptr);

// Parses the arguments after the program name (already expanded). False with
// a short cause on a usage error; options->command then says whose usage to
// show (None: the general one).
bool ParseCliArguments(const QStringList& arguments, CliOptions* options, QString* error);
