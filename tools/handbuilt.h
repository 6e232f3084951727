// Classifiers written by hand as JSON files: decision trees (--method tree --tree FILE) and rule
// tables (--method rules --rules FILE). Columns are named as in the training data and labels
// are the training data's label texts; docs/cli.md describes both formats.
#ifndef CLASTOOL_TOOLS_HANDBUILT_H
#define CLASTOOL_TOOLS_HANDBUILT_H

#include <string>
#include <vector>

#include "clss/clastool/clastool.h"

namespace cli {

class LabelMap;

// A rule table and the threshold its best rule must exceed.
struct RuleModel {
    tqClassifierRuleTable table;
    double threshold = 0.5;

    // The decision of the table (the first rule scoring above the threshold) as a result: the
    // decided label with class score 1 and expected cost 0, the other labels of the table with
    // class score 0 and cost 1, each with the best score of its rules as match score. No rule
    // above the threshold: an empty result (an unknown decision). A missing measurement scores
    // NaN, which leaves the feature out of the rule.
    tqClassifierResult classify(const tqFeaturePattern& pattern) const;
    // The distinct labels of the rules, in table order.
    std::vector<long> labels() const;
};

// The tree of a tree file, its columns bound to `columns` and its labels to `labels`. Throws
// InputError naming the file, the place and the path inside the JSON.
tqPtrHandle<tqDecisionTree> readTreeFile(const std::string& path, const std::vector<std::string>& columns,
                                         const LabelMap& labels, const std::string& dataFile);

// The rule table of a rules file, bound in the same way.
RuleModel readRulesFile(const std::string& path, const std::vector<std::string>& columns,
                        const LabelMap& labels, const std::string& dataFile);

// What a tree holds: its labels, inner nodes and leaves, and the largest measurement index a
// predicate reads (-1 for none). Walks the tree without recursion.
struct TreeSummary {
    std::vector<long> labels;
    long nodes = 0, leaves = 0, largestIndex = -1;
};
TreeSummary summarize(const tqDecisionTree& tree);

}  // namespace cli

#endif
