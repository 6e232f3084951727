// Predicate functions: the constructors' checks, outcomes with valid, invalid, missing and
// boundary measurements, equality across classes, copies, and archives.
#include <cstdint>
#include <limits>
#include <string>
#include <typeinfo>
#include <vector>

#include "clss/clastool/clastool.h"
#include "test_support.h"

namespace {

// The dynamic type of the object a handle holds.
template <class Handle>
const std::type_info& typeOf(const Handle& h) {
    const auto& object = *h;
    return typeid(object);
}

using BadIndex = tqClassifierDefs::BadIndex;
using BadParams = tqClassifierDefs::BadParams;

const char* const kIndexMessage = "Measurement index must be >= 0 and < number of measurements.";
const double kNaN = std::numeric_limits<double>::quiet_NaN();
const double kInf = std::numeric_limits<double>::infinity();

tqFeaturePattern pattern(const std::vector<double>& values, const std::vector<long>& invalid = {}) {
    return tqFeaturePattern(values, invalid);
}

// --- constructors -------------------------------------------------------------------------

TEST(PredicateConstruction, ComparisonChecksEqualityBeforeSigns) {
    EXPECT_THROW_MSG(tqComparisonPredicate(3, 3), BadParams, "Measurement indices must be different.");
    EXPECT_THROW_MSG(tqComparisonPredicate(-1, -1), BadParams, "Measurement indices must be different.");
    EXPECT_THROW_MSG(tqComparisonPredicate(-1, 2), BadIndex, kIndexMessage);
    EXPECT_THROW_MSG(tqComparisonPredicate(2, -1), BadIndex, kIndexMessage);
    EXPECT_THROW_MSG(tqComparisonPredicate(-2, -1), BadIndex, kIndexMessage);
    const tqComparisonPredicate byDefault;
    EXPECT_EQ(byDefault.measurementIndex1(), 0);
    EXPECT_EQ(byDefault.measurementIndex2(), 1);
    const tqComparisonPredicate p(7, 2);
    EXPECT_EQ(p.measurementIndex1(), 7);
    EXPECT_EQ(p.measurementIndex2(), 2);
}

TEST(PredicateConstruction, ListPredicatesRefuseNegativeIndicesOnly) {
    EXPECT_THROW_MSG(tqRangePredicate(tqRange(0, 1), {0, 3, -1}), BadIndex, kIndexMessage);
    EXPECT_THROW_MSG(tqValidityPredicate({-5}), BadIndex, kIndexMessage);
    // Order and repetitions are kept; an empty list and huge indices are accepted.
    const tqRangePredicate range(tqRange(-1, 2), {4, 0, 4, 1000000});
    EXPECT_EQ(range.measurementIndices(), (std::vector<long>{4, 0, 4, 1000000}));
    EXPECT_EQ(range.measurementRange(), tqRange(-1, 2));
    EXPECT_TRUE(tqValidityPredicate(std::vector<long>{}).measurementIndices().empty());
    EXPECT_TRUE(tqRangePredicate(tqRange(0, 0), {}).measurementIndices().empty());
    EXPECT_EQ(tqRangePredicate().measurementRange(), tqRange::FullRange());
    EXPECT_EQ(tqRangePredicate().measurementIndices(), std::vector<long>{0});
    EXPECT_EQ(tqValidityPredicate().measurementIndices(), std::vector<long>{0});
}

// --- outcomes -----------------------------------------------------------------------------

TEST(PredicateOutcome, ComparisonIsStrictAndFalseForMissingMeasurements) {
    const tqComparisonPredicate p(0, 1);
    EXPECT_TRUE(p.outcome(pattern({5, 3})));
    EXPECT_FALSE(p.outcome(pattern({3, 5})));
    EXPECT_FALSE(p.outcome(pattern({5, 5})));
    EXPECT_FALSE(p.outcome(pattern({5, 3}, {0})));
    EXPECT_FALSE(p.outcome(pattern({5, 3}, {1})));
    EXPECT_FALSE(p.outcome(pattern({5})));
    EXPECT_FALSE(p.outcome(pattern({})));
    EXPECT_FALSE(p.outcome(pattern({kNaN, 3})));
    EXPECT_TRUE(tqComparisonPredicate(2, 0).outcome(pattern({1, -7, 1.5})));
    EXPECT_TRUE(tqComparisonPredicate(0, 1).outcome(pattern({kInf, 1e308})));
}

TEST(PredicateOutcome, RangeNeedsEveryListedMeasurementValidAndWithin) {
    const tqRangePredicate p(tqRange(1, 2), {0, 2});
    EXPECT_TRUE(p.outcome(pattern({1, 99, 2})));  // both ends belong to the range
    EXPECT_TRUE(p.outcome(pattern({1.5, 99, 1.5})));
    EXPECT_FALSE(p.outcome(pattern({0.999, 99, 1.5})));
    EXPECT_FALSE(p.outcome(pattern({1.5, 99, 2.001})));
    EXPECT_FALSE(p.outcome(pattern({1.5, 99, 1.5}, {2})));  // invalid, although its value fits
    EXPECT_FALSE(p.outcome(pattern({1.5, 99})));            // index 2 is beyond the end
    EXPECT_FALSE(p.outcome(pattern({1.5, 99, kNaN})));
    // Defaults: the full range over measurement 0.
    const tqRangePredicate byDefault;
    EXPECT_FALSE(byDefault.outcome(pattern({})));
    EXPECT_FALSE(byDefault.outcome(pattern({1}, {0})));
    EXPECT_TRUE(byDefault.outcome(pattern({-kInf})));
    EXPECT_TRUE(byDefault.outcome(pattern({1e300, 0}, {1})));
}

TEST(PredicateOutcome, ValidityNeedsEveryListedMeasurement) {
    const tqValidityPredicate p({2, 0, 2});
    EXPECT_TRUE(p.outcome(pattern({0, 0, 0}, {1})));
    EXPECT_FALSE(p.outcome(pattern({0, 0, 0}, {2})));
    EXPECT_FALSE(p.outcome(pattern({0, 0})));
    EXPECT_TRUE(p.outcome(pattern({kNaN, 0, kNaN})));  // a NaN is a valid measurement
    EXPECT_FALSE(tqValidityPredicate().outcome(pattern({})));
}

TEST(PredicateOutcome, EmptyListsAreTrueForEveryPattern) {
    const tqRangePredicate range(tqRange(5, 6), {});
    const tqValidityPredicate validity(std::vector<long>{});
    for (const tqFeaturePattern& p : {pattern({}), pattern({1}, {0}), pattern({100, 200})}) {
        EXPECT_TRUE(range.outcome(p));
        EXPECT_TRUE(validity.outcome(p));
    }
}

// --- equality and copies ------------------------------------------------------------------

TEST(PredicateEquality, ComparesClassAndValuesInOrder) {
    const tqComparisonPredicate c01(0, 1), c10(1, 0);
    const tqRangePredicate r(tqRange(0, 1), {0, 1}), rSwapped(tqRange(0, 1), {1, 0});
    const tqValidityPredicate v({0, 1});
    EXPECT_TRUE(c01 == tqComparisonPredicate(0, 1));
    EXPECT_TRUE(c01 != c10);
    EXPECT_FALSE(c01.isEqual(r));
    EXPECT_FALSE(r.isEqual(c01));
    EXPECT_FALSE(r.isEqual(v));  // same indices, another class
    EXPECT_FALSE(v.isEqual(r));
    EXPECT_TRUE(r == tqRangePredicate(tqRange(0, 1), {0, 1}));
    EXPECT_TRUE(r != rSwapped);
    EXPECT_TRUE(r != tqRangePredicate(tqRange(0, 2), {0, 1}));
    EXPECT_TRUE(r != tqRangePredicate(tqRange(0, 1), {0, 1, 1}));
    EXPECT_TRUE(v == tqValidityPredicate({0, 1}));
    EXPECT_TRUE(v != tqValidityPredicate({0}));
}

TEST(PredicateCopies, CloneAndAssignmentCopyTheValues) {
    const tqRangePredicate r(tqRange(-3, 3), {2, 1});
    const tqPtrHandle<tqPredicateFunction> copy = r.clone();
    EXPECT_NE(copy.get(), &r);
    EXPECT_EQ(typeOf(copy), typeid(tqRangePredicate));
    EXPECT_TRUE(copy->isEqual(r));
    EXPECT_EQ(copy->refCount(), 1);

    tqComparisonPredicate c(4, 5);
    c = tqComparisonPredicate(6, 2);
    EXPECT_EQ(c.measurementIndex1(), 6);
    EXPECT_EQ(c.measurementIndex2(), 2);
    tqValidityPredicate v;
    v = tqValidityPredicate({3, 3});
    EXPECT_EQ(v.measurementIndices(), (std::vector<long>{3, 3}));
    EXPECT_TRUE(tqComparisonPredicate(1, 0).clone()->isEqual(tqComparisonPredicate(1, 0)));
    EXPECT_TRUE(v.clone()->isEqual(v));
}

// --- archive ------------------------------------------------------------------------------

std::vector<tqPtrHandle<tqPredicateFunction>> samplePredicates() {
    return {tqComparisonPredicate(3, 1).clone(), tqRangePredicate(tqRange(-1.5, 2.5), {2, 0, 2}).clone(),
            tqValidityPredicate({4, 1}).clone()};
}

TEST(PredicateArchive, RoundTripsPolymorphicallyAndMatchesGoldenFiles) {
    const char* golden[] = {"predicate_comparison.bin", "predicate_range.bin", "predicate_validity.bin"};
    auto predicates = samplePredicates();
    for (std::size_t i = 0; i < predicates.size(); ++i) {
        tqPtrHandle<tqPredicateFunction> loaded;
        EXPECT_TRUE(tqtest::roundTrips(predicates[i], loaded));
        ASSERT_FALSE(loaded.isNull());
        EXPECT_EQ(typeOf(loaded), typeOf(predicates[i]));
        EXPECT_TRUE(loaded->isEqual(*predicates[i]));
        const std::string bytes = tqtest::storeBytes(predicates[i]);
        EXPECT_TRUE(tqtest::matchesGolden(golden[i], bytes));
        tqPtrHandle<tqPredicateFunction> fromGolden;
        tqtest::loadBytes(tqtest::readFile(tqtest::goldenPath(golden[i])), fromGolden);
        ASSERT_FALSE(fromGolden.isNull());
        EXPECT_TRUE(fromGolden->isEqual(*predicates[i]));
    }
}

TEST(PredicateArchive, UnknownVersionsAndTruncatedInputThrow) {
    for (auto& predicate : samplePredicates()) {
        // By value the object starts with its own version byte, then the predicate base's.
        const std::string bytes = tqtest::storeBytes(static_cast<tqPersistent&>(*predicate));
        for (std::size_t level : {0u, 1u}) {
            std::string wrong = bytes;
            wrong[level] = 1;
            tqPtrHandle<tqPredicateFunction> target = predicate->clone();
            EXPECT_THROW(tqtest::loadBytes(wrong, static_cast<tqPersistent&>(*target)),
                         tqArchive::UnknownVersion);
        }
        const std::string stored = tqtest::storeBytes(predicate);
        for (std::size_t n = 0; n < stored.size(); ++n) {
            tqPtrHandle<tqPredicateFunction> target;
            EXPECT_THROW(tqtest::loadBytes(stored.substr(0, n), target), tqException) << n << " bytes";
        }
    }
    // The index vector carries a version byte of its own, just before its count.
    tqValidityPredicate v({4, 1});
    std::string bytes = tqtest::storeBytes(static_cast<tqPersistent&>(v));
    bytes[bytes.size() - 2 * 8 - 8 - 1] = 1;
    tqValidityPredicate target;
    EXPECT_THROW(tqtest::loadBytes(bytes, static_cast<tqPersistent&>(target)), tqArchive::UnknownVersion);
}

// Replaces the first little-endian 8-byte occurrence of `from` in `bytes` by `to`.
std::string patchLong(std::string bytes, std::int64_t from, std::int64_t to) {
    std::string f(8, '\0'), t(8, '\0');
    for (int i = 0; i < 8; ++i) {
        f[i] = static_cast<char>((static_cast<std::uint64_t>(from) >> (8 * i)) & 0xff);
        t[i] = static_cast<char>((static_cast<std::uint64_t>(to) >> (8 * i)) & 0xff);
    }
    const auto at = bytes.find(f);
    EXPECT_NE(at, std::string::npos);
    if (at != std::string::npos) bytes.replace(at, 8, t);
    return bytes;
}

TEST(PredicateArchive, LoadedNegativeIndexFailsInOutcomeNotInLoading) {
    // Loading does not repeat the constructors' checks; the pattern refuses the index later.
    tqPtrHandle<tqPredicateFunction> c = tqComparisonPredicate(7001, 7002).clone();
    tqPtrHandle<tqPredicateFunction> loaded;
    tqtest::loadBytes(patchLong(tqtest::storeBytes(c), 7001, -1), loaded);
    ASSERT_FALSE(loaded.isNull());
    EXPECT_EQ(static_cast<const tqComparisonPredicate&>(*loaded).measurementIndex1(), -1);
    EXPECT_THROW_MSG(loaded->outcome(pattern({1, 2})), BadIndex, "Feature measurement indices must be >= 0");

    tqPtrHandle<tqPredicateFunction> v = tqValidityPredicate({7003}).clone();
    tqtest::loadBytes(patchLong(tqtest::storeBytes(v), 7003, -4), loaded);
    EXPECT_THROW_MSG(loaded->outcome(pattern({1, 2})), BadIndex, "Feature measurement indices must be >= 0");
}

}  // namespace
