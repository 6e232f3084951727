// Diagnostics stand-in: records go where the caller asked.
#include "platform/diag.h"

tqDiagObject* tqDiagObject::getRecordingDestination(tqDiagObject* requested, unsigned long&) {
    return requested;
}
