// Distribution types and dependency sets.
#include "clss/clastool/distributions.h"

#include <gtest/gtest.h>

#include "clss/clastool/errors.h"
#include "test_support.h"

namespace {

using DT = tqClassifierDistributionTypes;
using BadIndex = tqClassifierDefs::BadIndex;
using BadLabel = tqClassifierDefs::BadLabel;
using BadParams = tqClassifierDefs::BadParams;

const char* const kBadLabel = "Cateogory labels must be >= 0";
const char* const kBadIndex = "Feature measurement indices must be >= 0";
const char* const kInSet =
    "Cannot override distribution type of a feature measurement that is already part of a dependency set.";
const char* const kMixed = "The distribution types of dependent feature measurements must be the same.";

// An object built only from setDependent calls in the given order, to compare against.
DT withSets(std::initializer_list<std::pair<long, std::vector<long>>> sets) {
    DT types;
    for (const auto& s : sets) types.setDependent(s.first, s.second);
    return types;
}

TEST(DistributionTypes, DefaultAnswersItsTypeForEveryPairAndChecksLabelThenIndex) {
    DT types;
    EXPECT_EQ(types.defaultDistributionType(), DT::eNormal);
    EXPECT_EQ(types.distributionType(0, 0), DT::eNormal);
    EXPECT_EQ(types.distributionType(1000, 99999), DT::eNormal);
    EXPECT_EQ(DT(DT::eBinomial).distributionType(3, 4), DT::eBinomial);
    EXPECT_THROW_MSG(types.distributionType(-1, 0), BadLabel, kBadLabel);
    EXPECT_THROW_MSG(types.distributionType(0, -1), BadIndex, kBadIndex);
    EXPECT_THROW_MSG(types.distributionType(-1, -1), BadLabel, kBadLabel);
}

TEST(DistributionTypes, OverrideEqualToTheDefaultIsANoOpWithoutChecks) {
    DT types;
    types.distributionTypeOverride(-5, 0, DT::eNormal);
    types.distributionTypeOverride(0, -5, DT::eNormal);
    EXPECT_EQ(types, DT());
    EXPECT_THROW_MSG(types.distributionTypeOverride(-5, 0, DT::eBinomial), BadLabel, kBadLabel);
    EXPECT_THROW_MSG(types.distributionTypeOverride(0, -5, DT::eBinomial), BadIndex, kBadIndex);
    EXPECT_EQ(types, DT());

    // Asking for the default again does not remove an existing override.
    types.distributionTypeOverride(0, 3, DT::eBinomial);
    types.distributionTypeOverride(0, 3, DT::eNormal);
    EXPECT_EQ(types.distributionType(0, 3), DT::eBinomial);
    types.clearDistributionOverrides();
    EXPECT_EQ(types.distributionType(0, 3), DT::eNormal);
    EXPECT_EQ(types, DT());
}

TEST(DistributionTypes, OverridesReplaceInPlaceAndTheirOrderIsPartOfTheValue) {
    DT once;
    once.distributionTypeOverride(0, 3, DT::eBinomial);
    once.distributionTypeOverride(1, 2, DT::eUniform);
    DT twice;
    twice.distributionTypeOverride(0, 3, DT::ePoisson);
    twice.distributionTypeOverride(1, 2, DT::eUniform);
    twice.distributionTypeOverride(0, 3, DT::eBinomial);  // replaces, keeps position 0
    EXPECT_EQ(once, twice);
    EXPECT_EQ(twice.distributionType(0, 3), DT::eBinomial);
    EXPECT_EQ(twice.distributionType(3, 0), DT::eNormal);

    DT reversed;
    reversed.distributionTypeOverride(1, 2, DT::eUniform);
    reversed.distributionTypeOverride(0, 3, DT::eBinomial);
    EXPECT_NE(once, reversed);

    // Changing the default leaves overrides alone; an override equal to the new default is kept.
    once.defaultDistributionType(DT::eBinomial);
    EXPECT_EQ(once.distributionType(1, 2), DT::eUniform);
    EXPECT_EQ(once.distributionType(0, 3), DT::eBinomial);
    EXPECT_EQ(once.distributionType(5, 5), DT::eBinomial);
    EXPECT_NE(once, twice);
}

TEST(DistributionTypes, DependencySetsBlockOverridesOfTheirOwnLabelOnly) {
    DT types;
    types.setDependent(0, {3, 4});
    const DT before = types;
    EXPECT_THROW_MSG(types.distributionTypeOverride(0, 3, DT::eBinomial), BadParams, kInSet);
    EXPECT_EQ(types, before);
    types.distributionTypeOverride(1, 3, DT::eBinomial);
    EXPECT_EQ(types.distributionType(1, 3), DT::eBinomial);
    // The set check comes before the index check.
    types.setDependent(2, {0});
    EXPECT_THROW_MSG(types.distributionTypeOverride(-1, 0, DT::eBinomial), BadLabel, kBadLabel);
    EXPECT_THROW_MSG(types.distributionTypeOverride(2, 0, DT::eBinomial), BadParams, kInSet);
}

TEST(DistributionTypes, SetDependentChecksBeforeChanging) {
    DT types;
    EXPECT_THROW_MSG(types.setDependent(-1, {}), BadLabel, kBadLabel);
    EXPECT_THROW_MSG(types.setDependent(0, {1, -2}), BadIndex, kBadIndex);
    types.setDependent(0, {});
    EXPECT_EQ(types, DT());

    types.distributionTypeOverride(0, 4, DT::eBinomial);
    const DT before = types;
    EXPECT_THROW_MSG(types.setDependent(0, {3, 4}), BadParams, kMixed);
    EXPECT_EQ(types, before);
    // Only the given indices are compared with each other.
    types.setDependent(1, {3, 4});
    types.setDependent(0, {3, 5});
    EXPECT_TRUE(types.isDependent(0, {5, 3}));
}

TEST(DistributionTypes, SetDependentDropsRepeatsAndMergesOverlappingSets) {
    EXPECT_EQ(withSets({{0, {3, 3, 3}}}), withSets({{0, {3}}}));
    EXPECT_EQ(withSets({{0, {1, 2}}, {0, {2, 3}}}), withSets({{0, {1, 2, 3}}}));
    EXPECT_EQ(withSets({{0, {1, 2}}, {0, {2, 3}}, {0, {2}}}), withSets({{0, {1, 2, 3}}}));
    // A set of another label is untouched even when it shares indices.
    EXPECT_EQ(withSets({{1, {1, 2}}, {0, {2, 3}}}), withSets({{1, {1, 2}}, {0, {2, 3}}}));
    EXPECT_NE(withSets({{0, {1, 2}}, {1, {5}}}), withSets({{1, {5}}, {0, {1, 2}}}));
}

TEST(DistributionTypes, MergeKeepsTheFirstTouchedSetInPlaceAndTheDefinedOrder) {
    // Label 2 has A = {1, 2} and B = {5, 6}, label 3 has C = {1, 5}. Joining {7, 2, 5}
    // strikes 2 through A (7, 5 remain) and 5 through B (7 remains): A' = {1, 2, 7, 5, 6}.
    DT types = withSets({{2, {1, 2}}, {2, {5, 6}}, {3, {1, 5}}});
    types.setDependent(2, {7, 2, 5});
    EXPECT_EQ(types, withSets({{2, {1, 2, 7, 5, 6}}, {3, {1, 5}}}));
    EXPECT_NE(types, withSets({{2, {1, 2, 5, 6, 7}}, {3, {1, 5}}}));

    // Removal swaps in the last remaining entry: {4, 1, 8, 9} against {1} leaves {4, 9, 8}.
    DT swapped = withSets({{0, {1}}});
    swapped.setDependent(0, {4, 1, 8, 9});
    EXPECT_EQ(swapped, withSets({{0, {1, 4, 9, 8}}}));

    // Three sets merged; an untouched set in between keeps its place.
    DT three = withSets({{0, {1}}, {0, {2}}, {0, {3}}, {0, {4}}});
    three.setDependent(0, {4, 2});
    EXPECT_EQ(three, withSets({{0, {1}}, {0, {2, 4}}, {0, {3}}}));
}

TEST(DistributionTypes, IsDependentLooksAtTheSetOfTheFirstIndex) {
    DT types = withSets({{0, {1, 2, 3}}, {0, {5}}});
    EXPECT_FALSE(types.isDependent(0, {}));
    EXPECT_TRUE(types.isDependent(0, {3, 1}));
    EXPECT_TRUE(types.isDependent(0, {3, 3, 2}));
    EXPECT_FALSE(types.isDependent(0, {1, 4}));
    EXPECT_FALSE(types.isDependent(0, {1, 5}));
    EXPECT_FALSE(types.isDependent(1, {1, 2}));
    EXPECT_FALSE(types.isDependent(0, {4}));
    EXPECT_THROW_MSG(types.isDependent(-1, {}), BadLabel, kBadLabel);
    EXPECT_THROW_MSG(types.isDependent(0, {1, -1}), BadIndex, kBadIndex);
}

DT richTypes() {
    DT types(DT::eNormal);
    types.distributionTypeOverride(4, 0, DT::eBinomial);
    types.distributionTypeOverride(1, 7, DT::ePoisson);
    types.setDependent(2, {1, 2});
    types.setDependent(2, {5, 6});
    types.setDependent(3, {1, 5});
    types.setDependent(2, {7, 2, 5});
    return types;
}

TEST(DistributionTypesArchive, RoundTripsWithOrderAndMatchesTheGoldenBytes) {
    DT types = richTypes();
    DT loaded;
    EXPECT_TRUE(tqtest::roundTrips(types, loaded));
    EXPECT_EQ(loaded, types);
    EXPECT_TRUE(tqtest::matchesGolden("distributiontypes.bin", tqtest::storeBytes(types)));

    DT golden;
    tqtest::loadBytes(tqtest::readFile(tqtest::goldenPath("distributiontypes.bin")), golden);
    EXPECT_EQ(golden, richTypes());
}

TEST(DistributionTypesArchive, UnknownTypeValuesSurviveAnArchive) {
    DT types(static_cast<DT::DistributionType>(9));
    types.distributionTypeOverride(0, 0, static_cast<DT::DistributionType>(7));
    DT loaded;
    EXPECT_TRUE(tqtest::roundTrips(types, loaded));
    EXPECT_EQ(loaded.distributionType(0, 0), static_cast<DT::DistributionType>(7));
    EXPECT_EQ(loaded.distributionType(1, 0), static_cast<DT::DistributionType>(9));
}

TEST(DistributionTypesArchive, RefusesAnotherVersionAndTruncatedInput) {
    DT types = richTypes();
    std::string bytes = tqtest::storeBytes(types);
    std::string wrong = bytes;
    wrong[0] = 1;
    DT target;
    try {
        tqtest::loadBytes(wrong, target);
        ADD_FAILURE() << "loaded a version 1 archive";
    } catch (const tqArchive::UnknownVersion& e) {
        EXPECT_EQ(e.where(), "clss/clastool/bayes");
        EXPECT_EQ(e.line(), 262);
    }
    for (std::size_t cut = 0; cut < bytes.size(); cut += 7)
        EXPECT_THROW(tqtest::loadBytes(bytes.substr(0, cut), target), tqException) << "cut at " << cut;
    EXPECT_EQ(target, DT());
}

}  // namespace
