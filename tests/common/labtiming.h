#pragma once
// The operations' waits for simulated devices, which answer at once: a short settle and bus wait.
#include "operations/deviceoperation.h"

inline TOperationTiming ShortLabTiming()
{
    TOperationTiming timing;
    timing.settleMs = 50;
    timing.bus.baseTimeoutMs = 300;
    return timing;
}
