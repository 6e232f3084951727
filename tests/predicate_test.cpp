// Predicate functions: the constructors' checks, outcomes at the edges (invalid, missing, NaN
// and boundary measurements), equality across classes, and archives.
#include <limits>
#include <string>
#include <typeinfo>
#include <vector>

#include "clss/clastool/clastool.h"
#include "test_support.h"

namespace {

using BadIndex = tqClassifierDefs::BadIndex;
using BadParams = tqClassifierDefs::BadParams;
using PredicateHandle = tqPtrHandle<tqPredicateFunction>;

const char* const kIndexMessage = "Measurement index must be >= 0 and < number of measurements.";
const double kNaN = std::numeric_limits<double>::quiet_NaN();
const double kInf = std::numeric_limits<double>::infinity();

tqFeaturePattern pattern(const std::vector<double>& values, const std::vector<long>& invalid = {}) {
    return tqFeaturePattern(values, invalid);
}

TEST(Predicate, ConstructorsCheckEqualityBeforeSigns) {
    EXPECT_THROW_MSG(tqComparisonPredicate(-1, -1), BadParams, "Measurement indices must be different.");
    EXPECT_THROW_MSG(tqComparisonPredicate(2, -1), BadIndex, kIndexMessage);
    EXPECT_THROW_MSG(tqRangePredicate(tqRange(0, 1), {0, 3, -1}), BadIndex, kIndexMessage);
    EXPECT_THROW_MSG(tqValidityPredicate({-5}), BadIndex, kIndexMessage);
}

TEST(Predicate, OutcomesAtTheEdges) {
    struct Case {
        PredicateHandle p;
        std::vector<tqFeaturePattern> holds, fails;
    };
    const Case cases[] = {
        // Comparison: strict, and false when either measurement is missing.
        {tqComparisonPredicate(0, 1).clone(),
         {pattern({5, 3}), pattern({kInf, 1e308})},
         {pattern({5, 5}), pattern({5, 3}, {0}), pattern({5, 3}, {1}), pattern({5}), pattern({kNaN, 3})}},
        {tqComparisonPredicate(2, 0).clone(), {pattern({1, -7, 1.5})}, {}},
        // Range: both ends belong to it; every listed measurement must be valid and within.
        {tqRangePredicate(tqRange(1, 2), {0, 2}).clone(),
         {pattern({1, 99, 2})},
         {pattern({0.999, 99, 1.5}), pattern({1.5, 99, 2.001}), pattern({1.5, 99, 1.5}, {2}),
          pattern({1.5, 99}), pattern({1.5, 99, kNaN})}},
        {tqRangePredicate().clone(),
         {pattern({-kInf})},
         {pattern({}), pattern({1}, {0})}},  // full range, index 0
        // Validity: a NaN is a valid measurement.
        {tqValidityPredicate({2, 0, 2}).clone(),
         {pattern({0, 0, 0}, {1}), pattern({kNaN, 0, kNaN})},
         {pattern({0, 0, 0}, {2}), pattern({0, 0})}},
        // Empty lists hold for every pattern.
        {tqRangePredicate(tqRange(5, 6), {}).clone(), {pattern({}), pattern({1}, {0})}, {}},
        {tqValidityPredicate(std::vector<long>{}).clone(), {pattern({}), pattern({100, 200})}, {}},
    };
    int i = 0;
    for (const Case& c : cases) {
        for (const tqFeaturePattern& x : c.holds) EXPECT_TRUE(c.p->outcome(x)) << "case " << i;
        for (const tqFeaturePattern& x : c.fails) EXPECT_FALSE(c.p->outcome(x)) << "case " << i;
        ++i;
    }
}

TEST(Predicate, EqualityComparesClassAndValuesInOrder) {
    const tqRangePredicate r(tqRange(0, 1), {0, 1});
    const tqValidityPredicate v({0, 1});
    EXPECT_TRUE(tqComparisonPredicate(0, 1) != tqComparisonPredicate(1, 0));
    EXPECT_FALSE(tqComparisonPredicate(0, 1).isEqual(r));
    EXPECT_FALSE(r.isEqual(v));  // same indices, another class
    EXPECT_FALSE(v.isEqual(r));
    EXPECT_TRUE(r == tqRangePredicate(tqRange(0, 1), {0, 1}));
    EXPECT_TRUE(r != tqRangePredicate(tqRange(0, 1), {1, 0}));
    EXPECT_TRUE(r != tqRangePredicate(tqRange(0, 2), {0, 1}));
    EXPECT_TRUE(r != tqRangePredicate(tqRange(0, 1), {0, 1, 1}));
    EXPECT_TRUE(v != tqValidityPredicate({0}));
}

// --- archive ------------------------------------------------------------------------------

TEST(PredicateArchive, GoldenFilesVersionsAndLoadedNegativeIndices) {
    const char* golden[] = {"predicate_comparison.bin", "predicate_range.bin", "predicate_validity.bin"};
    PredicateHandle predicates[] = {tqComparisonPredicate(3, 1).clone(),
                                    tqRangePredicate(tqRange(-1.5, 2.5), {2, 0, 2}).clone(),
                                    tqValidityPredicate({4, 1}).clone()};
    for (std::size_t i = 0; i < 3; ++i) {
        PredicateHandle& p = predicates[i];
        PredicateHandle loaded;
        EXPECT_TRUE(tqtest::archiveHolds(golden[i], p, loaded));
        ASSERT_FALSE(loaded.isNull());
        const auto &object = *loaded, &original = *p;
        EXPECT_EQ(typeid(object), typeid(original));
        EXPECT_TRUE(loaded->isEqual(*p));
        // By value the object starts with its own version byte, then the predicate base's.
        EXPECT_TRUE(tqtest::refusesVersions(tqtest::storeBytes(static_cast<tqPersistent&>(*p)), {0, 1},
                                            [&](const std::string& bytes) {
                                                tqtest::loadBytes(bytes, static_cast<tqPersistent&>(*loaded));
                                            }));
    }
    // The index vector carries a version byte of its own, just before its count.
    tqValidityPredicate v({4, 1});
    const std::string bytes = tqtest::storeBytes(static_cast<tqPersistent&>(v));
    EXPECT_TRUE(tqtest::refusesVersions(bytes, {bytes.size() - 2 * 8 - 8 - 1}, [&](const std::string& b) {
        tqtest::loadBytes(b, static_cast<tqPersistent&>(v));
    }));
    // Loading does not repeat the constructors' checks; the pattern refuses the index later.
    PredicateHandle c = tqComparisonPredicate(7001, 7002).clone(), w = tqValidityPredicate({7003}).clone();
    for (const std::string& patched :
         {tqtest::patched(tqtest::storeBytes(c), tqtest::i64(7001), tqtest::i64(-1)),
          tqtest::patched(tqtest::storeBytes(w), tqtest::i64(7003), tqtest::i64(-4))}) {
        PredicateHandle loaded;
        tqtest::loadBytes(patched, loaded);
        ASSERT_FALSE(loaded.isNull());
        EXPECT_THROW_MSG(loaded->outcome(pattern({1, 2})), BadIndex,
                         "Feature measurement indices must be >= 0");
    }
}

}  // namespace
