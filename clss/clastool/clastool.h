// The classifier library: every public header, one per subsystem.
#ifndef CLASTOOL_CLASTOOL_H
#define CLASTOOL_CLASTOOL_H

// core types
#include "clss/clastool/core.h"

// classifier framework and tool
#include "clss/clastool/framework.h"

// Bayesian classification
#include "clss/clastool/bayesian.h"

// k-nearest-neighbour classification
#include "clss/clastool/knn.h"

// decision trees
#include "clss/clastool/dtree.h"

// rule tables
#include "clss/clastool/rules.h"

// labelled data from a table or a simple CSV file
#include "clss/clastool/csvdata.h"

// data generators
#include "clss/clastool/generators.h"

#endif
