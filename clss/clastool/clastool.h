// The classifier library: every public header, one per subsystem.
#ifndef CLASTOOL_CLASTOOL_H
#define CLASTOOL_CLASTOOL_H

#include "clss/clastool/core.h"
#include "clss/clastool/framework.h"
#include "clss/clastool/knn.h"
#include "clss/clastool/generators.h"
// Later subsystems' chief headers, in this order:
// bayes.h (before knn.h), dtree.h, rules.h (before generators.h)

#endif
