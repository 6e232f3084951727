// Value classes of the library that are not in the type registry but have archive operators
// of their own. The fuzz programs select them by the indices after the registered classes.
// Included by exactly one source per program.
#ifndef CLASTOOL_FUZZ_VALUE_TYPES_H
#define CLASTOOL_FUZZ_VALUE_TYPES_H

#include <sstream>
#include <string>
#include <vector>

#include "clss/clastool/clastool.h"
#include "platform/archive.h"

namespace fuzz {

struct ValueType {
    const char* name;
    // Loads `bytes` into a fresh object and, when that works, checks that storing is stable.
    void (*load)(const std::string& bytes);
    // Stores a sample object (for the seed corpus); false when it cannot be stored.
    bool (*sample)(std::string& bytes);
};

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

template <class T>
bool sampleOf(std::string& bytes);
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
    };
    return types;
}

inline void loadValue(const ValueType& type, const std::string& bytes) { type.load(bytes); }

}  // namespace fuzz

#endif
