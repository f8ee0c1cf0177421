#include "core/base/Diagnostics.h"

#include "core/base/FileHelpers.h"
#include "core/base/Reporter.h"
#include "core/base/WorkspacePaths.h"

#include <QDateTime>
#include <QFile>

namespace {
constexpr qint64 kDiagnosticsLimit = 256 * 1024;
} // namespace

void AppendDiagnostic(const WorkspacePaths& paths, const QString& line) {
    QFile log(paths.diagnosticsLog());
    if (log.size() > kDiagnosticsLimit && log.open(QIODevice::ReadOnly)) {
        // Keep the newer half, from a line start, written beside the log.
        QByteArray kept = log.readAll();
        log.close();
        kept = kept.mid(kept.size() / 2);
        kept = kept.mid(kept.indexOf('\n') + 1);
        FileHelpers::TemporaryFile trimmed(log.fileName());
        if (trimmed.open() && trimmed.write(kept))
            trimmed.commit();
    }
    if (!log.open(QIODevice::Append | QIODevice::Text))
        return; // the log is a courtesy: a full disk must not fail the command
    const QString stamp = QDateTime::currentDateTime().toString(Qt::ISODate);
    log.write((stamp + QLatin1Char(' ') + line.simplified() + QLatin1Char('\n')).toUtf8());
}

void PresentResult(Reporter& reporter, const WorkspacePaths& paths, const QString& command,
                   const Result& result) {
    if (result.failed())
        AppendDiagnostic(paths, QStringLiteral("%1 failed: %2").arg(command, result.cause()));
    reporter.notify(result.notice());
}
