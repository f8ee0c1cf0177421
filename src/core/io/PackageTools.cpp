#include "core/io/PackageTools.h"

#include "core/io/ErrorText.h"
#include "core/io/FileHelpers.h"
#include "core/io/ToolRunner.h"
#include "core/WorkspacePaths.h"

#include <QDir>
#include <QFileInfo>

bool ExtractArchive(ToolRunner& runner, const WorkspacePaths& paths, const QString& archivePath,
                    const QString& outputDirectory, QString* error) {
    if (archivePath.isEmpty() || outputDirectory.isEmpty()) {
        SetError(error, QStringLiteral("no archive or no output directory"));
        return false;
    }
    ToolCommand command;
    command.program = paths.extractorTool();
    QString archive = archivePath;
    QString output = outputDirectory;
    // 7-Zip replaces every '*' of its -o path with the archive's name, -spd
    // or not. Such a path is given relative to its deepest existing
    // directory, which becomes the working directory.
    if (output.contains(QLatin1Char('*'))) {
        archive = QFileInfo(archivePath).absoluteFilePath();
        QString existing = QFileInfo(outputDirectory).absoluteFilePath();
        while (!FileHelpers::IsDirectory(existing))
            existing = QFileInfo(existing).absolutePath();
        output = QDir(existing).relativeFilePath(QFileInfo(outputDirectory).absoluteFilePath());
        if (output.contains(QLatin1Char('*'))) {
            SetError(error, QStringLiteral("7-Zip cannot make a directory whose name holds '*'"));
            return false;
        }
        command.workingDirectory = existing;
    }
    // -spd: '*' and '?' in a file name are no wildcards; -bsp1: progress.
    command.arguments = QStringList{
        QStringLiteral("x"),           QStringLiteral("-spd"), QStringLiteral("-bsp1"), archive,
        QStringLiteral("-o") + output, QStringLiteral("-y"),
    };
    command.busyText = QStringLiteral("Decompressing files");
    command.centre = true;
    command.exitCodeMeansSuccess = SevenZipExitCodeMeansSuccess;
    command.reportsPercent = true;
    const ToolRunResult result = runner.run(command);
    if (!result.succeeded()) {
        SetError(error, result.describe(QStringLiteral("7-Zip")));
        return false;
    }
    return true;
}

bool SignArchive(ToolRunner& runner, const WorkspacePaths& paths, const QString& inputPath,
                 const QString& outputPath, SigningKey key, QString* error) {
    if (inputPath.isEmpty() || outputPath.isEmpty()) {
        SetError(error, QStringLiteral("no input or no output"));
        return false;
    }
    if (FileHelpers::IsSameFile(inputPath, outputPath)) {
        SetError(error, QStringLiteral("the output names the input"));
        return false;
    }
    if (FileHelpers::PathExists(outputPath) && !FileHelpers::RemoveFile(outputPath)) {
        SetError(error, QStringLiteral("cannot remove the old \"%1\"").arg(outputPath));
        return false;
    }

    ToolCommand command;
    command.program = paths.javaTool();
    command.arguments = QStringList{QStringLiteral("-jar"), paths.signTool()};
    if (key == SigningKey::Platform) {
        command.arguments << QStringLiteral("platform.x509.pem") << QStringLiteral("platform.pk8");
    } else {
        command.arguments << QStringLiteral("-w") << QStringLiteral("testkey.x509.pem")
                          << QStringLiteral("testkey.pk8");
    }
    command.arguments << inputPath << outputPath;
    command.workingDirectory = paths.configDir();
    command.busyText = QStringLiteral("Signing files");
    const ToolRunResult result = runner.run(command);

    const QFileInfo written(outputPath);
    if (result.succeeded() && written.isFile() && written.size() > 0)
        return true;
    SetError(error, result.succeeded() ? QStringLiteral("the signing tool left no output")
                                       : result.describe(QStringLiteral("The signing tool")));
    // The tool may leave an empty or partial output when it fails or is stopped.
    if (FileHelpers::PathExists(outputPath) && !FileHelpers::IsDirectory(outputPath))
        FileHelpers::RemoveFile(outputPath);
    return false;
}
