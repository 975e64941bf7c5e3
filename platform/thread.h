// Threads the way the driver uses them: created suspended, resumed, polled for
// their exit code, and as a last resort abandoned.
#pragma once
#include <cstdint>

namespace plat {

struct Thread;                               // opaque; one per created thread
using ThreadHandle = Thread *;               // null = no thread
using ThreadProc = uint32_t (*)(void *arg);  // the return value is the exit code

// The exit code of a thread that has not returned (Windows' STILL_ACTIVE, a macro there).
constexpr uint32_t THREAD_STILL_ACTIVE = 259;

// Creates a thread that does not run `proc` until resumeThread. Null on failure.
ThreadHandle createThreadSuspended(ThreadProc proc, void *arg);
// Lets a suspended thread run. Returns the previous suspend count (1), or -1 on a null handle.
int32_t resumeThread(ThreadHandle h);
// Stores the exit code, or THREAD_STILL_ACTIVE while the thread runs (or was never resumed).
// Returns 0 on a null handle, else 1.
int getExitCodeThread(ThreadHandle h, uint32_t *exitCode);
// Ends a thread that will not stop, which from now on reports `exitCode`. On Windows
// the thread is really ended. A running thread cannot be killed safely on Linux: it is
// detached and left to finish on its own. A suspended thread is released with nothing
// to run. Returns 0 on a null handle, else 1.
int terminateThread(ThreadHandle h, uint32_t exitCode);
// Releases the handle. A thread that has not ended goes on, detached. Returns 0 on null.
int closeHandle(ThreadHandle h);

}  // namespace plat
