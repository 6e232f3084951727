// Diagnostics stand-in: records go where the caller asked, unless the host routes them.
#include "platform/diag.h"

#include <atomic>

namespace {
std::atomic<tqDiagObject::Route> gRoute{nullptr};
}  // namespace

tqDiagObject* tqDiagObject::getRecordingDestination(tqDiagObject* requested, unsigned long& flags) {
    const Route route = gRoute.load(std::memory_order_acquire);
    return route ? route(requested, flags) : requested;
}

tqDiagObject::Route tqDiagObject::setRecordingRoute(Route route) {
    return gRoute.exchange(route, std::memory_order_acq_rel);
}
