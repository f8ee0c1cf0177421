#pragma once

#include "core/base/Result.h"

#include <QString>

// What a result that did not succeed says, empty for a success: compared with
// an empty string, a failure shows its cause in the test's output.
inline QString FailureOf(const Result& result) {
    if (result.succeeded())
        return QString();
    return result.cause().isEmpty() ? QStringLiteral("(failed without a cause)") : result.cause();
}
