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
using tqtest::raises;

// An object built only from setDependent calls in the given order, to compare against.
DT withSets(std::initializer_list<std::pair<long, std::vector<long>>> sets) {
    DT types;
    for (const auto& s : sets) types.setDependent(s.first, s.second);
    return types;
}

// The label check, then the set check, then the index check; nothing changes.
TEST(DistributionTypes, RefusedCallsRaiseInOrderBeforeAnyChange) {
    const char* const label = "Cateogory labels must be >= 0";
    const char* const index = "Feature measurement indices must be >= 0";
    DT types = withSets({{2, {0}}});
    types.distributionTypeOverride(1, 0, DT::eBinomial);
    types.distributionTypeOverride(0, 4, DT::eBinomial);
    const DT before = types;
    types.distributionTypeOverride(-5, -5, DT::eNormal);  // equal to the default: a no-op, unchecked
    types.setDependent(0, {});
    EXPECT_EQ(types, before);
    tqtest::expectRefusals({
        {[&] { types.distributionType(-1, -1); }, raises<BadLabel>, label},
        {[&] { types.distributionType(0, -1); }, raises<BadIndex>, index},
        {[&] { types.distributionTypeOverride(0, -5, DT::eBinomial); }, raises<BadIndex>, index},
        {[&] { types.distributionTypeOverride(-1, 0, DT::eBinomial); }, raises<BadLabel>, label},
        {[&] { types.distributionTypeOverride(2, 0, DT::eBinomial); }, raises<BadParams>,
         "Cannot override distribution type of a feature measurement that is already part of a "
         "dependency set."},
        {[&] { types.setDependent(0, {1, -2}); }, raises<BadIndex>, index},
        // Only the given indices of the set's own label are compared.
        {[&] { types.setDependent(0, {3, 4}); }, raises<BadParams>,
         "The distribution types of dependent feature measurements must be the same."},
    }, [&] { return types == before; });
    types.setDependent(1, {3, 4});
    types.setDependent(0, {3, 5});
    EXPECT_TRUE(types.isDependent(0, {5, 3}));
}

TEST(DistributionTypes, OverridesReplaceInPlaceAndTheirOrderIsPartOfTheValue) {
    DT once, twice, reversed;
    once.distributionTypeOverride(0, 3, DT::eBinomial);
    once.distributionTypeOverride(1, 2, DT::eUniform);
    twice.distributionTypeOverride(0, 3, DT::ePoisson);
    twice.distributionTypeOverride(1, 2, DT::eUniform);
    twice.distributionTypeOverride(0, 3, DT::eBinomial);  // replaces, keeps position 0
    twice.distributionTypeOverride(0, 3, DT::eNormal);    // the default again removes nothing
    EXPECT_EQ(once, twice);
    reversed.distributionTypeOverride(1, 2, DT::eUniform);
    reversed.distributionTypeOverride(0, 3, DT::eBinomial);
    EXPECT_NE(once, reversed);

    // Changing the default leaves overrides alone; an override equal to the new default is kept.
    once.defaultDistributionType(DT::eBinomial);
    EXPECT_EQ(once.distributionType(1, 2), DT::eUniform);
    EXPECT_EQ(once.distributionType(5, 5), DT::eBinomial);
    EXPECT_NE(once, twice);
}

TEST(DistributionTypes, SetDependentDropsRepeatsAndMergesOverlappingSetsInTheDefinedOrder) {
    const struct {
        DT built, expected;
        bool equal;
    } cases[] = {
        {withSets({{0, {3, 3, 3}}}), withSets({{0, {3}}}), true},
        {withSets({{0, {1, 2}}, {0, {2, 3}}, {0, {2}}}), withSets({{0, {1, 2, 3}}}), true},
        // Label 2 has A = {1, 2} and B = {5, 6}, label 3 has C = {1, 5}. Joining {7, 2, 5}
        // strikes 2 through A (7, 5 remain) and 5 through B (7 remains): A' = {1, 2, 7, 5, 6}.
        {withSets({{2, {1, 2}}, {2, {5, 6}}, {3, {1, 5}}, {2, {7, 2, 5}}}),
         withSets({{2, {1, 2, 7, 5, 6}}, {3, {1, 5}}}), true},
        {withSets({{2, {1, 2}}, {2, {5, 6}}, {3, {1, 5}}, {2, {7, 2, 5}}}),
         withSets({{2, {1, 2, 5, 6, 7}}, {3, {1, 5}}}), false},
        // Removal swaps in the last remaining entry: {4, 1, 8, 9} against {1} leaves {4, 9, 8}.
        {withSets({{0, {1}}, {0, {4, 1, 8, 9}}}), withSets({{0, {1, 4, 9, 8}}}), true},
        // An untouched set between merged ones keeps its place.
        {withSets({{0, {1}}, {0, {2}}, {0, {3}}, {0, {4}}, {0, {4, 2}}}),
         withSets({{0, {1}}, {0, {2, 4}}, {0, {3}}}), true},
        {withSets({{0, {1, 2}}, {1, {5}}}), withSets({{1, {5}}, {0, {1, 2}}}), false},
    };
    for (std::size_t i = 0; i < std::size(cases); ++i)
        EXPECT_EQ(cases[i].built == cases[i].expected, cases[i].equal) << "case " << i;
}

TEST(DistributionTypes, IsDependentLooksAtTheSetOfTheFirstIndex) {
    const DT types = withSets({{0, {1, 2, 3}}, {0, {5}}});
    const std::vector<std::pair<std::vector<long>, bool>> cases = {
        {{}, false}, {{3, 1}, true}, {{3, 3, 2}, true}, {{1, 4}, false}, {{1, 5}, false}, {{4}, false}};
    for (const auto& c : cases) EXPECT_EQ(types.isDependent(0, c.first), c.second) << c.first.size();
    EXPECT_FALSE(types.isDependent(1, {1, 2}));
}

TEST(DistributionTypesArchive, RoundTripsMatchesTheGoldenAndRefusesDamage) {
    auto rich = [] {
        DT types(DT::eNormal);
        types.distributionTypeOverride(4, 0, DT::eBinomial);
        types.distributionTypeOverride(1, 7, DT::ePoisson);
        const std::pair<long, std::vector<long>> sets[] = {
            {2, {1, 2}}, {2, {5, 6}}, {3, {1, 5}}, {2, {7, 2, 5}}};
        for (const auto& s : sets) types.setDependent(s.first, s.second);
        return types;
    };
    DT types = rich(), loaded, golden;
    EXPECT_TRUE(tqtest::roundTrips(types, loaded));
    EXPECT_EQ(loaded, types);
    EXPECT_TRUE(tqtest::matchesGolden("distributiontypes.bin", tqtest::storeBytes(types)));
    tqtest::loadBytes(tqtest::readFile(tqtest::goldenPath("distributiontypes.bin")), golden);
    EXPECT_EQ(golden, rich());
    tqtest::expectArchiveRefusals(tqtest::storeBytes(types), [] { return DT(); },
                                  {{0, "clss/clastool/bayes", 262}});

    // Type values this build does not know survive an archive.
    DT unknown(static_cast<DT::DistributionType>(9));
    unknown.distributionTypeOverride(0, 0, static_cast<DT::DistributionType>(7));
    EXPECT_TRUE(tqtest::roundTrips(unknown, loaded));
    EXPECT_EQ(loaded.distributionType(0, 0), static_cast<DT::DistributionType>(7));
    EXPECT_EQ(loaded.distributionType(1, 0), static_cast<DT::DistributionType>(9));
}

}  // namespace
