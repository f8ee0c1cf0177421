#include "core/base/MemoryBudget.h"

MemoryBudget& ProcessMemoryBudget() {
    static MemoryBudget budget(128 * 1024 * 1024);
    return budget;
}
