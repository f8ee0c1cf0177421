#include "core/base/WorkerThreads.h"

#include <QtGlobal>

#include <algorithm>
#include <thread>

unsigned WorkerThreadCount() {
    bool given = false;
    const int asked = qEnvironmentVariableIntValue("CORVANE_THREADS", &given);
    if (given && asked >= 1 && asked <= 256)
        return static_cast<unsigned>(asked);
    return std::max(1u, std::thread::hardware_concurrency());
}
