// The classifier library: every public header, one per subsystem.
#ifndef CLASTOOL_CLASTOOL_H
#define CLASTOOL_CLASTOOL_H

#include "clss/clastool/core.h"
#include "clss/clastool/framework.h"
#include "clss/clastool/bayesian.h"
#include "clss/clastool/knn.h"
#include "clss/clastool/generators.h"
// Later subsystems' chief headers, in this order:
// dtree.h, rules.h (before generators.h)

#endif
