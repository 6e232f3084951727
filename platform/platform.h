// Everything the foundation, diagnostics and system stand-ins offer.
#ifndef TQ_PLATFORM_PLATFORM_H
#define TQ_PLATFORM_PLATFORM_H

#include "platform/archive.h"
#include "platform/attention.h"
#include "platform/diag.h"
#include "platform/exception.h"
#include "platform/handle.h"
#include "platform/persistent.h"
#include "platform/random.h"
#include "platform/values.h"

#endif
