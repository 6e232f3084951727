// The attention check: how a host abandons a long training or run from outside.
#ifndef TQ_PLATFORM_ATTENTION_H
#define TQ_PLATFORM_ATTENTION_H

#include <atomic>

// The failure status the check returns while an abort is requested; its group's
// converter throws tqAborted.
constexpr long kTqStatusAborted = 0x80000021L;  // group 1, code 1

namespace tq_attention {
// The process-wide flag behind the check, written only by tfRequestAbort and
// tfClearAbortRequest.
extern std::atomic<bool> requested;
}  // namespace tq_attention

// Success (0) unless an abort has been requested, then kTqStatusAborted. Lock-free, and inline:
// the decision step checks once per category, and a call each time cost more than the check.
inline long tfAttentionCheck() {
    return tq_attention::requested.load(std::memory_order_relaxed) ? kTqStatusAborted : 0;
}
// Requests an abort (from any thread); stays set until cleared.
void tfRequestAbort();
void tfClearAbortRequest();

#endif
