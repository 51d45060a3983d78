// The caller's request to stop a long conversion, polled between chunks.
// Internal: not installed.
#pragma once

#include <atomic>

namespace korv {

// The flag a program raises (from a signal handler, say); null clears it.
void setCancelFlag(const std::atomic<bool>* flag);

// True when the flag is raised. It also records, for this thread, that the
// operation under way stopped because it was asked to, so that the failure
// can be reported as a cancellation rather than an error.
bool cancelRequested();

// The record above: cleared when an exported call starts, read when it fails.
void clearCancelled();
bool wasCancelled();

} // namespace korv
