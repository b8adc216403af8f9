// What the program asks of the operating system for its own threads.
#pragma once

#include <chrono>

namespace tarnwick::platform {

// Raises the calling thread a step above normal priority. Called by the threads a button press
// travels through (the HID readers, the mapping engine's event worker, the MobiFlight worker),
// so that a simulator keeping every core busy does not delay a press by whole scheduler slices.
// On Windows always (THREAD_PRIORITY_ABOVE_NORMAL, as input tools do). Elsewhere only after
// AllowRaisedPriority(true), and only where the process is permitted to; a refusal is ignored.
void RaiseCurrentThreadPriority();

// Elsewhere than Windows, turns RaiseCurrentThreadPriority on or off for threads that start
// later (a benchmark option; the native build is the virtual cockpit, not a shipped product).
void AllowRaisedPriority(bool allowed);

// Names the calling thread as debuggers and process viewers show it ("tw-" and a short role;
// at most 15 bytes, the longest name Linux keeps). Failure is ignored.
void NameCurrentThread(const char* name);

// The CPU time the calling thread has used so far.
std::chrono::nanoseconds CurrentThreadCpuTime();

}  // namespace tarnwick::platform
