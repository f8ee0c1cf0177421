// Placeholder until the libzip implementation lands.
#include "workspace/core/Archive.h"

bool RunArchiver(QChar, const QString&, const QString&, const QString&) { return false; }
bool RunArchiverBatch(const QString&, const QList<ArchiveOperation>&) { return false; }
QString ArchiveMemberName(QChar, const QString&, const QString&) { return {}; }
bool IsReadableZipArchive(const QString&) { return false; }
