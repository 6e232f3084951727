// The attention check: one process-wide flag, set and cleared from any thread.
#include "platform/attention.h"

#include <atomic>

#include "platform/exception.h"

std::atomic<bool> tq_attention::requested{false};

namespace {

[[noreturn]] void throwAborted(long) { throw tqAborted(); }

// The check's status group converts to tqAborted from the moment the library is loaded.
const bool converterRegistered =
    (tfRegisterExceptionConverter(tfStatusGroup(kTqStatusAborted), &throwAborted), true);
}  // namespace

void tfRequestAbort() { tq_attention::requested.store(true, std::memory_order_relaxed); }

void tfClearAbortRequest() { tq_attention::requested.store(false, std::memory_order_relaxed); }
