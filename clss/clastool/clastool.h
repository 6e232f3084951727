// The whole library: include this one header.
#ifndef CLASTOOL_CLASTOOL_H
#define CLASTOOL_CLASTOOL_H

// classifier framework and tool
#include "clss/clastool/framework.h"

// k-nearest-neighbour classification
#include "clss/clastool/knn.h"

// data generators
#include "clss/clastool/generators.h"

#endif
