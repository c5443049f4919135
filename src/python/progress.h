// PyProgress: forwards the parallel build's progress events to a Python callable.
#pragma once

#include <mutex>

#include "parallel/mod.h"
#include "python/binding.h"

namespace kavro::py {

// Lives on the calling thread's stack for one build and is shared by reference with the
// build's threads. Each event becomes callback(stage, done, total) under the interpreter
// lock; the adapter's mutex is held across the whole call, so calls never overlap (lock
// order: the pipeline's block counter, this mutex, the interpreter lock). The first
// exception the callable raises is kept with its traceback; every later event is dropped.
class PyProgress {
public:
    explicit PyProgress(Object callback) : callback_(std::move(callback)) {}

    // Any thread; the caller must not hold the interpreter lock. Never fails towards it.
    // Once the interpreter exits, events from any thread but the exiting one are dropped.
    void call(const par::ParProgress& event) noexcept;

    // What the build function needs after the build: the stored exception, if any, and the
    // callable's reference. Safe to take without the interpreter lock; drop it (or
    // `restore` it) only with the lock held.
    struct Outcome {
        Object callback;
        Object type, value, traceback;
        bool failed() const { return static_cast<bool>(type); }
        // Sets the stored exception as the current one, unchanged.
        void restore() { PyErr_Restore(type.release(), value.release(), traceback.release()); }
    };
    Outcome into_result();

    // The forwarding sink handed to the build.
    par::ProgressSink sink() {
        return [this](par::ParProgress event) { call(event); };
    }

private:
    Object callback_;
    std::mutex mutex_;
    Object type_, value_, traceback_;
};

}  // namespace kavro::py
