#include "core/io/FaultPoints.h"

namespace {

std::function<void(const char*)>& hook() {
    static std::function<void(const char*)> installed;
    return installed;
}

} // namespace

void FaultPoint(const char* name) {
    if (hook())
        hook()(name);
}

void SetFaultPointHookForTesting(std::function<void(const char* name)> newHook) {
    hook() = std::move(newHook);
}
