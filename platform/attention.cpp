// The attention check: one process-wide flag, set and cleared from any thread.
#include "platform/attention.h"

#include <atomic>

#include "platform/exception.h"

namespace {
std::atomic<bool> abortRequested{false};

[[noreturn]] void throwAborted(long) { throw tqAborted(); }

// The check's status group converts to tqAborted from the moment the library is loaded.
const bool converterRegistered =
    (tfRegisterExceptionConverter(tfStatusGroup(kTqStatusAborted), &throwAborted), true);
}  // namespace

long tfAttentionCheck() { return abortRequested.load(std::memory_order_relaxed) ? kTqStatusAborted : 0; }

void tfRequestAbort() { abortRequested.store(true, std::memory_order_relaxed); }

void tfClearAbortRequest() { abortRequested.store(false, std::memory_order_relaxed); }
