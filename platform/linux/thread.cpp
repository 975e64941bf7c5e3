// Threads on pthreads, with the life cycle the driver expects: created held at a
// gate, released by resumeThread, polled for an exit code, and, when a thread will
// not stop, abandoned rather than killed.
#include "platform/thread.h"

#include <pthread.h>

#include <cerrno>
#include <condition_variable>
#include <memory>
#include <mutex>

namespace plat {

namespace {

enum class Gate { Closed, Open, Cancelled };

// What the thread and its handle share. Each side holds a reference, so the record
// lives until both the thread has finished and the handle is closed.
struct Shared {
    std::mutex m;
    std::condition_variable cv;
    Gate gate = Gate::Closed;
    bool returned = false;  // proc has returned, or the thread left without running it
    bool forced = false;    // terminateThread fixed the exit code
    uint32_t exitCode = THREAD_STILL_ACTIVE;
    ThreadProc proc = nullptr;
    void *arg = nullptr;
};

void *threadMain(void *p) {
    auto *ref = static_cast<std::shared_ptr<Shared> *>(p);
    std::shared_ptr<Shared> s = std::move(*ref);
    delete ref;
    {
        std::unique_lock lk(s->m);
        s->cv.wait(lk, [&] { return s->gate != Gate::Closed; });
        if (s->gate == Gate::Cancelled) {
            s->returned = true;
            return nullptr;
        }
    }
    const uint32_t code = s->proc(s->arg);
    std::lock_guard lk(s->m);
    if (!s->forced) s->exitCode = code;
    s->returned = true;
    return nullptr;
}

}  // namespace

struct Thread {
    std::shared_ptr<Shared> shared;
    pthread_t tid{};
    bool detached = false;
};

ThreadHandle createThreadSuspended(ThreadProc proc, void *arg) {
    if (proc == nullptr) {
        errno = EINVAL;
        return nullptr;
    }
    auto *t = new Thread;
    t->shared = std::make_shared<Shared>();
    t->shared->proc = proc;
    t->shared->arg = arg;
    auto *ref = new std::shared_ptr<Shared>(t->shared);
    const int rc = pthread_create(&t->tid, nullptr, threadMain, ref);
    if (rc != 0) {
        delete ref;
        delete t;
        errno = rc;
        return nullptr;
    }
    return t;
}

int32_t resumeThread(ThreadHandle h) {
    if (h == nullptr) {
        errno = EINVAL;
        return -1;
    }
    Shared &s = *h->shared;
    std::lock_guard lk(s.m);
    if (s.gate != Gate::Closed) return 0;
    s.gate = Gate::Open;
    s.cv.notify_all();
    return 1;
}

int getExitCodeThread(ThreadHandle h, uint32_t *exitCode) {
    if (h == nullptr || exitCode == nullptr) {
        errno = EINVAL;
        return 0;
    }
    Shared &s = *h->shared;
    std::lock_guard lk(s.m);
    *exitCode = s.exitCode;
    return 1;
}

int terminateThread(ThreadHandle h, uint32_t exitCode) {
    if (h == nullptr) {
        errno = EINVAL;
        return 0;
    }
    Shared &s = *h->shared;
    bool abandon = false;
    {
        std::lock_guard lk(s.m);
        if (s.gate == Gate::Closed) {
            // Never released: it leaves at once without running proc; closeHandle joins it.
            s.gate = Gate::Cancelled;
            s.cv.notify_all();
        } else {
            abandon = !s.returned;
        }
        if (!s.returned) {
            s.forced = true;
            s.exitCode = exitCode;
        }
    }
    if (abandon && !h->detached) {
        pthread_detach(h->tid);
        h->detached = true;
    }
    return 1;
}

int closeHandle(ThreadHandle h) {
    if (h == nullptr) {
        errno = EINVAL;
        return 0;
    }
    bool join;
    {
        Shared &s = *h->shared;
        std::lock_guard lk(s.m);
        if (s.gate == Gate::Closed) {
            s.gate = Gate::Cancelled;
            s.cv.notify_all();
        }
        // A thread that never ran proc, or whose proc has returned, ends promptly.
        join = s.returned || s.gate == Gate::Cancelled;
    }
    if (!h->detached) {
        if (join)
            pthread_join(h->tid, nullptr);
        else
            pthread_detach(h->tid);
    }
    delete h;
    return 1;
}

}  // namespace plat
