#pragma once

#include <functional>

// Test seam: the commands pass named points at the boundaries of their steps
// ("open:extracted", "add:archive-committed", ...). A test process installs a
// hook that stops there, so that another process can kill it at exactly that
// point. Without a hook a point costs one test of a null function.
void FaultPoint(const char* name);
void SetFaultPointHookForTesting(std::function<void(const char* name)> hook);
