// Core types of the classifier library: errors, feature patterns, data providers, category
// frequencies and misclassification costs, classification results.
#ifndef CLASTOOL_CORE_H
#define CLASTOOL_CORE_H

#include "clss/clastool/costs.h"
#include "clss/clastool/errors.h"
#include "clss/clastool/pattern.h"
#include "clss/clastool/provider.h"
#include "clss/clastool/result.h"

#endif
