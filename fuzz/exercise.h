// What the fuzz programs do with a classifier or tool that loaded: run it on patterns of
// several dimensions (all valid, and with an invalid measurement), check that a batch run gives
// the bits of single runs, and that a copy compares like its original. A tqException from a
// run or a comparison is an accepted outcome (a loaded model may refuse a pattern); a crash, a
// sanitizer report or a broken invariant is a finding. Included by exactly one source per program.
#ifndef CLASTOOL_FUZZ_EXERCISE_H
#define CLASTOOL_FUZZ_EXERCISE_H

#include <cstring>
#include <vector>

#include "clss/clastool/clastool.h"

namespace fuzz {

inline bool sameBits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

inline bool sameBits(const tqClassifierResult& a, const tqClassifierResult& b) {
    const auto& x = a.categoryResults();
    const auto& y = b.categoryResults();
    if (x.size() != y.size() || !sameBits(a.matchScoreFactorLog(), b.matchScoreFactorLog())) return false;
    for (std::size_t i = 0; i < x.size(); ++i)
        if (x[i].categoryLabel() != y[i].categoryLabel() || !sameBits(x[i].matchScore(), y[i].matchScore()) ||
            !sameBits(x[i].classScore(), y[i].classScore()) || !sameBits(x[i].expectedCost(), y[i].expectedCost()))
            return false;
    return true;
}

// Measurement vectors of lengths 0 to 6, so that every loaded model meets both its own
// dimension and wrong ones.
inline std::vector<std::vector<double>> probeRows() {
    std::vector<std::vector<double>> rows;
    for (std::size_t d = 0; d <= 6; ++d) {
        std::vector<double> row(d);
        for (std::size_t j = 0; j < d; ++j) row[j] = 0.75 * static_cast<double>(j) - 1.0;
        rows.push_back(row);
    }
    return rows;
}

// Runs `model` (a tqClassifierTool or a trained tq_Classifier) through single and batch runs.
template <class Model, class RunOne, class RunBatch>
void exerciseRuns(const Model& model, RunOne&& runOne, RunBatch&& runBatch) {
    for (const std::vector<double>& row : probeRows()) {
        tqClassifierResult single;
        try {
            runOne(model, tqFeaturePattern(row), single);
            if (!row.empty()) {
                tqClassifierResult withInvalid;
                runOne(model, tqFeaturePattern(row, {0}), withInvalid);
            }
        } catch (const tqException&) {
            continue;
        }
        // Two copies of the row as one batch: each result must be the single run's bits.
        std::vector<double> values(row);
        values.insert(values.end(), row.begin(), row.end());
        tqPatternRows rows;
        rows.values = values.data();
        rows.rows = 2;
        rows.dimension = row.size();
        rows.rowStride = row.size();
        std::vector<tqClassifierResult> batch(2);
        try {
            runBatch(model, rows, batch.data());
        } catch (const tqException&) {
            __builtin_trap();  // the same pattern ran on its own
        }
        if (!sameBits(batch[0], single) || !sameBits(batch[1], single)) __builtin_trap();
    }
}

inline void exercise(const tqClassifierTool& tool) {
    exerciseRuns(
        tool, [](const tqClassifierTool& t, const tqFeaturePattern& p, tqClassifierResult& r) { t.run(p, r); },
        [](const tqClassifierTool& t, const tqPatternRows& rows, tqClassifierResult* out) { t.runBatch(rows, out); });
    // A copy compares with the original as the original compares with itself: loading keeps
    // values as read, and a NaN score in a leaf's result is unequal to itself.
    const tqClassifierTool copy(tool);
    try {
        if ((copy == tool) != (tool == tool)) __builtin_trap();
    } catch (const tqException&) {
    }
}

inline void exercise(const tq_Classifier& classifier) {
    if (!classifier.isTrained()) return;
    exerciseRuns(
        classifier,
        [](const tq_Classifier& c, const tqFeaturePattern& p, tqClassifierResult& r) { c.run(p, r, nullptr, 0); },
        [](const tq_Classifier& c, const tqPatternRows& rows, tqClassifierResult* out) { c.runBatch(rows, out); });
    const tqPtrHandle<tq_Classifier> copy = classifier.clone();
    try {
        if (copy->isEquivalent(classifier) != classifier.isEquivalent(classifier)) __builtin_trap();
    } catch (const tqException&) {
    }
}

}  // namespace fuzz

#endif
