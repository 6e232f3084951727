// The classifier framework: training parameters, the classifier lifecycle and the tool.
#ifndef CLASTOOL_FRAMEWORK_H
#define CLASTOOL_FRAMEWORK_H

#include "clss/clastool/classifier.h"
#include "clss/clastool/tool.h"
#include "clss/clastool/trainparams.h"
#include "platform/diag.h"

#endif
