// The classifier library: every public header, one per subsystem.
#ifndef CLASTOOL_CLASTOOL_H
#define CLASTOOL_CLASTOOL_H

#include "clss/clastool/core.h"
// Later subsystems' chief headers, in this order:
// framework.h, bayes.h, knn.h, dtree.h, rules.h, generators.h

#endif
