// The process's stop request: set once, when a termination signal arrives, and seen
// at once by the waits that do not run in the message pump (a child command, a file
// lock), so that they end within a moment instead of at their own limit.
#pragma once

// Marks the stop as requested and wakes every wait on StopSignalFd. Safe to call
// from any thread, more than once.
void SignalStop();

// True once SignalStop was called.
bool StopSignalled();

// A descriptor that polls readable (POLLIN) once a stop was requested, for a wait
// to add to its poll set; -1 when none could be made (StopSignalled still tells).
int StopSignalFd();

// Waits up to ms milliseconds, or less when a stop is or becomes requested.
// Returns true when it ended for a stop request.
bool WaitUnlessStopped(int ms);
