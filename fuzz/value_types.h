// Value classes of the library that are not in the type registry but have archive operators
// of their own. The fuzz programs select them by the indices after the registered classes.
// Included by exactly one source per program.
#ifndef CLASTOOL_FUZZ_VALUE_TYPES_H
#define CLASTOOL_FUZZ_VALUE_TYPES_H

#include <limits>
#include <sstream>
#include <string>
#include <vector>

#include "clss/clastool/clastool.h"
#include "fuzz/exercise.h"
#include "platform/archive.h"

namespace fuzz {

struct ValueType {
    const char* name;
    // Loads `bytes` into a fresh object and, when that works, checks that storing is stable.
    void (*load)(const std::string& bytes);
    // Stores a sample object (for the seed corpus); false when it cannot be stored.
    bool (*sample)(std::string& bytes);
};

// Stores x (by value or a handle) and returns the bytes; false when storing refuses.
template <class T>
bool storeValue(T& x, std::string& bytes) {
    std::ostringstream out;
    try {
        tqArchive ar(out);
        ar || x;
    } catch (const tqException&) {
        return false;
    }
    bytes = out.str();
    return true;
}

// A default value of each class; a feature vector has no default constructor.
template <class T>
T freshValue() {
    return T();
}
template <>
inline tqClassifierFeatureVector freshValue<tqClassifierFeatureVector>() {
    return tqClassifierFeatureVector(std::vector<double>());
}

// Loaded tools are run, copied and compared (fuzz/exercise.h); other values only archived.
template <class T>
void exerciseLoaded(const T&) {}
inline void exerciseLoaded(const tqClassifierTool& tool) { exercise(tool); }

template <class T>
void loadValueOf(const std::string& bytes) {
    T x = freshValue<T>();
    try {
        std::istringstream in(bytes);
        tqArchive ar(in);
        ar || x;
    } catch (const tqException&) {
        return;
    }
    exerciseLoaded(x);
    std::string first, second;
    if (!storeValue(x, first)) return;  // e.g. a rule holding an empty handle
    T again = freshValue<T>();
    {
        std::istringstream in(first);
        tqArchive ar(in);
        ar || again;
    }
    if (!storeValue(again, second) || second != first) __builtin_trap();
}

inline tqClassifierRuleTable sampleRuleTable() {
    tqPtrHandle<tqClsFtSc> one(new tqClassifierFeatureScoreOneSided);
    tqPtrHandle<tqClsFtSc> two(new tqClassifierFeatureScoreTwoSided);
    tqPtrHandle<tqClsFtSc> ignore(new tqClassifierFeatureScoreIgnore);
    tqClassifierRule a, b;
    a.init({one, two, ignore}, 3);
    b.init({ignore, one, two}, 1);
    tqClassifierRuleTable table;
    table.train({a, b});
    return table;
}

// Three categories of three measurements, the third a count of at most 10 successes.
inline tqClassifierDataProviderMemory sampleData() {
    tqClassifierDataProviderMemory data;
    for (long i = 0; i < 30; ++i) {
        const long label = i % 3;
        const double x = static_cast<double>(label) + 0.1 * static_cast<double>(i % 7);
        const double y = 0.5 * x - 0.03 * static_cast<double>(i % 5);
        data.addData(tqPtrHandle_const<tqFeaturePattern>(
                         new tqFeaturePattern({x, y, static_cast<double>((3 * label + i) % 11)})),
                     label);
    }
    return data;
}

// One trained tool of each kind: KNN, Bayes with default parameters, Bayes with a joint pair
// and a binomial measurement, and a decision tree.
inline std::vector<tqClassifierTool> sampleTools() {
    const tqClassifierDataProviderMemory data = sampleData();
    std::vector<tqClassifierTool> tools(4);
    tools[0].train(data, tqClassifierTrainParamsKNN(3));
    tools[1].train(data, tqClassifierTrainParamsBayesian());
    tqClassifierDistributionTypes types;
    for (long label = 0; label < 3; ++label) {
        types.distributionTypeOverride(label, 2, tqClassifierDistributionTypes::eBinomial);
        types.setDependent(label, {0, 1});
    }
    tools[2].train(data, tqClassifierTrainParamsBayesian(types, tqClassifierFrequencies(1.0),
                                                         tqClassifierCosts(1.0),
                                                         tqFeaturePattern({0.0, 0.0, 10.0})));
    const auto leaf = [](long label) {
        return tqDecisionTreeLeaf(tqClassifierResult({tqClassifierCategoryResult(label, 1.0, 1.0, 0.0)}, 0.0));
    };
    const double inf = std::numeric_limits<double>::infinity();
    tools[3].train(tqDecisionTreeNode(tqRangePredicate(tqRange(1.0, inf), {0}),
                                      tqDecisionTreeNode(tqComparisonPredicate(0, 1), leaf(2), leaf(1)), leaf(0)));
    return tools;
}

template <class T>
bool sampleOf(std::string& bytes);
template <>
inline bool sampleOf<tqClassifierTool>(std::string& bytes) {
    tqClassifierTool tool = sampleTools()[1];
    return storeValue(tool, bytes);
}
template <>
inline bool sampleOf<tqClassifierRuleTable>(std::string& bytes) {
    tqClassifierRuleTable t = sampleRuleTable();
    return storeValue(t, bytes);
}
template <>
inline bool sampleOf<tqClassifierRule>(std::string& bytes) {
    tqClassifierRule r = sampleRuleTable().rules()[0];
    return storeValue(r, bytes);
}
template <>
inline bool sampleOf<tqPtrHandle<tqClsFtSc>>(std::string& bytes) {
    tqPtrHandle<tqClsFtSc> h(new tqClassifierFeatureScoreTwoSided);
    return storeValue(h, bytes);
}
template <>
inline bool sampleOf<tqClassifierFeatureVector>(std::string& bytes) {
    tqClassifierFeatureVector v(std::vector<double>{0.5, -1.0, 2.0});
    return storeValue(v, bytes);
}

inline const std::vector<ValueType>& valueTypes() {
    static const std::vector<ValueType> types = {
        {"tqClassifierRuleTable", &loadValueOf<tqClassifierRuleTable>, &sampleOf<tqClassifierRuleTable>},
        {"tqClassifierRule", &loadValueOf<tqClassifierRule>, &sampleOf<tqClassifierRule>},
        {"tqPtrHandle<tqClsFtSc>", &loadValueOf<tqPtrHandle<tqClsFtSc>>, &sampleOf<tqPtrHandle<tqClsFtSc>>},
        {"tqClassifierFeatureVector", &loadValueOf<tqClassifierFeatureVector>,
         &sampleOf<tqClassifierFeatureVector>},
        {"tqClassifierTool", &loadValueOf<tqClassifierTool>, &sampleOf<tqClassifierTool>},
    };
    return types;
}

inline void loadValue(const ValueType& type, const std::string& bytes) { type.load(bytes); }

}  // namespace fuzz

#endif
