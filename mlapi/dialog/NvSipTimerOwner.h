#pragma once
// NvSipTimerOwner: where a dialog part's timers go: the scheduler they are
// scheduled on and the observer (the dialog) they notify. The dialog hands
// one to each part operation that schedules or cancels a timer, so that a
// part stores neither and a test can give its own.

#include "stack/timer/NvScheduler.h"

struct NvSipTimerOwner {
    NvObserver& observer;
    NvScheduler& scheduler;
};
