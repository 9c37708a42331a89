#pragma once
// Runs an action after a delay on the stack's scheduler (the monitor
// thread), as the user agent's call events do: no thread of its own.

#include <functional>

// `action` after `delayMs` milliseconds; at once, on the calling thread, for 0.
void runLater(unsigned delayMs, std::function<void()> action);
