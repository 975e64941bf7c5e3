// Starting and stopping the threads of a channel.
#pragma once
#include <atomic>
#include <cstdint>

#include "platform/thread.h"

// Exit codes the stop waits for.
constexpr uint32_t CHANNEL_THREAD_EXIT = 1;      // telegram worker and v6 channel thread
constexpr uint32_t LOW_LEVEL_THREAD_EXIT = 117;  // v6 receiver and transmitter

// How long a stop waits: STOP_POLLS polls STOP_POLL_MS apart, then the thread is abandoned.
constexpr int STOP_POLLS = 20;
constexpr uint32_t STOP_POLL_MS = 500;

// Sets the stop flag, waits for the thread to report `expectedExit`, terminates it when it
// does not within the polls, closes the handle and nulls the field. A null handle returns
// at once. `traceSuccess` writes "Thread stopped successfully" when the thread ended by
// itself (the v6 threads do). Returns 1.
int32_t stopThread(plat::ThreadHandle *handle, std::atomic<uint32_t> *stopFlag, uint32_t expectedExit,
                   bool traceSuccess);

// Starts the threads of channel c for its engine; 1 on success.
int32_t startChannel(uint32_t c);
// Stops the channel thread of channel c (the worker, or the v6 channel thread).
int32_t stopChannel(uint32_t c);
