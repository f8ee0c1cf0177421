#pragma once

#include <QString>

// Keeps the cause of a failure for a caller that asked for it (error may be
// null).
inline void SetError(QString* error, const QString& text) {
    if (error)
        *error = text;
}

// The same, answering false: `return Fail(error, cause);`.
inline bool Fail(QString* error, const QString& text) {
    SetError(error, text);
    return false;
}
