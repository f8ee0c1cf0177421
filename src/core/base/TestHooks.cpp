#include "core/base/TestHooks.h"

namespace {

std::function<FaultAction(const char*)>& hook() {
    static std::function<FaultAction(const char*)> installed;
    return installed;
}

} // namespace

FaultAction FaultPoint(const char* name) {
    return hook() ? hook()(name) : FaultAction::None;
}

void SetFaultPointHookForTesting(std::function<FaultAction(const char* name)> newHook) {
    hook() = std::move(newHook);
}

namespace {

OutgoingBytesHook& outgoingHook() {
    static OutgoingBytesHook installed;
    return installed;
}

} // namespace

void SetOutgoingBytesHookForTesting(OutgoingBytesHook newHook) {
    outgoingHook() = std::move(newHook);
}

const OutgoingBytesHook& OutgoingBytesHookForTesting() {
    return outgoingHook();
}
