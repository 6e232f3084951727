// Decision-tree classification: predicates over measurements, trees of nodes and leaves,
// and the classifier that walks them.
#ifndef CLASTOOL_DTREE_H
#define CLASTOOL_DTREE_H

#include "clss/clastool/predicate.h"
#include "clss/clastool/tree.h"
#include "clss/clastool/treeclassifier.h"

#endif
