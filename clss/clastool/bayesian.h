// The Bayesian classification subsystem: distribution types and dependency sets, the
// training parameters that select the technique, the densities, the category models and
// the classifier.
#ifndef CLASTOOL_BAYESIAN_H
#define CLASTOOL_BAYESIAN_H

#include "clss/clastool/bayes.h"
#include "clss/clastool/bayesparams.h"
#include "clss/clastool/categorymodel.h"
#include "clss/clastool/distributions.h"
#include "clss/clastool/pdf.h"

#endif
