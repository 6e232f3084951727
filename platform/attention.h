// The attention check: how a host abandons a long training or run from outside.
#ifndef TQ_PLATFORM_ATTENTION_H
#define TQ_PLATFORM_ATTENTION_H

// The failure status the check returns while an abort is requested; its group's
// converter throws tqAborted.
constexpr long kTqStatusAborted = 0x80000021L;  // group 1, code 1

// Success (0) unless an abort has been requested, then kTqStatusAborted. Lock-free.
long tfAttentionCheck();
// Requests an abort (from any thread); stays set until cleared.
void tfRequestAbort();
void tfClearAbortRequest();

#endif
