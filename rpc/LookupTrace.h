// Stamps along one rank lookup, for the benchmarks that take its latency
// apart. The product never sets a hook; a point then costs one atomic load.
#pragma once
#include <atomic>

namespace ZorvanRpc {

enum class LookupStage {
    posted,  // window thread: the lookup is in the plug-in worker's queue
    started,  // plug-in worker: the lookup begins
    queued,  // plug-in worker: the request text is in the HTTP client's queue
    dequeued,  // client thread: the request is taken off the queue
    probed,  // client thread: the connectivity check has answered
    connected,  // client thread: the connection is up, sending starts
    sent,  // client thread: the whole request is out
    answered,  // client thread: the answer's header block has ended
    drained,  // client thread (or a stop after it): nothing is queued or in flight, callers are released
    timed_out,  // plug-in worker: the wait for the answer ran out (released follows)
    released,  // plug-in worker: the wait for the answer has returned
    parsed,  // plug-in worker: the result is read out of the answer
    ranked,  // plug-in worker: the rank is handed to the host and status bar
    unranked,  // plug-in worker: "No rank" is shown
    count_
};

// subject: the plug-in object for the worker's and window thread's stages,
// the request's message for the client thread's and transact's (null for a
// release that no channel's end brought about).
typedef void (*LookupTraceHook)(LookupStage stage, const void* subject);

inline std::atomic<LookupTraceHook>& LookupTraceHookSlot() noexcept
{
    static std::atomic<LookupTraceHook> hook{nullptr};
    return hook;
}

inline void SetLookupTraceHook(LookupTraceHook hook) noexcept
{
    LookupTraceHookSlot().store(hook, std::memory_order_release);
}

// Not noexcept: the hook is the caller's code, and a fault in it, translated
// on our threads, must reach a catch rather than end the process.
inline void TraceLookup(LookupStage stage, const void* subject)
{
    if (LookupTraceHook hook = LookupTraceHookSlot().load(std::memory_order_acquire)) hook(stage, subject);
}

}  // namespace ZorvanRpc
