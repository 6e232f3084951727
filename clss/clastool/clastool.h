// The classifier library: every public header, one per subsystem.
#ifndef CLASTOOL_CLASTOOL_H
#define CLASTOOL_CLASTOOL_H

// core types
#include "clss/clastool/core.h"

// classifier framework and tool
#include "clss/clastool/framework.h"

// k-nearest-neighbour classification
#include "clss/clastool/knn.h"

// data generators
#include "clss/clastool/generators.h"

#endif
