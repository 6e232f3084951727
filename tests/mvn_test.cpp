// The multivariate-normal estimation kernel: estimate, statuses, marginal densities,
// regularisation of degenerate estimates, rebuilding and copies, and the record lists.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <limits>
#include <string>

#include "tests/mvn_support.h"

using namespace mvntest;

namespace {

constexpr double kLog2Pi = 1.8378770664093454835606594728112;
const double kInf = std::numeric_limits<double>::infinity();

// Maximum-likelihood mean and covariance by the two-pass textbook formulas.
void directEstimate(const std::vector<Row>& rows, Row& mean, std::vector<double>& cov) {
    const std::size_t d = rows[0].size();
    const double n = static_cast<double>(rows.size());
    mean.assign(d, 0.0);
    cov.assign(d * d, 0.0);
    for (const Row& x : rows)
        for (std::size_t i = 0; i < d; ++i) mean[i] += x[i] / n;
    for (const Row& x : rows)
        for (std::size_t i = 0; i < d; ++i)
            for (std::size_t j = 0; j < d; ++j) cov[i * d + j] += (x[i] - mean[i]) * (x[j] - mean[j]) / n;
}

// ln N(x; mean, cov) by Gaussian elimination of the bordered matrix [cov r; r' 0], r = x - mean:
// a different route from the kernel's Cholesky factorisation. The pivots multiply to det cov and
// the corner is left holding -r' cov^-1 r (no pivoting: cov is positive definite).
double directLogDensity(const Row& mean, const std::vector<double>& cov, const Row& x) {
    const std::size_t d = mean.size(), w = d + 1;
    std::vector<double> a(w * w, 0.0);
    for (std::size_t i = 0; i < d; ++i) {
        std::copy(cov.begin() + i * d, cov.begin() + (i + 1) * d, a.begin() + i * w);
        a[i * w + d] = a[d * w + i] = x[i] - mean[i];
    }
    double logDet = 0.0;
    for (std::size_t c = 0; c < d; ++c) {
        logDet += std::log(a[c * w + c]);
        for (std::size_t i = c + 1; i < w; ++i) {
            const double f = a[i * w + c] / a[c * w + c];
            for (std::size_t j = c; j < w; ++j) a[i * w + j] -= f * a[c * w + j];
        }
    }
    return -0.5 * (static_cast<double>(d) * kLog2Pi + logDet - a[d * w + d]);
}

void expectNearDensity(double actual, double expected) {
    EXPECT_NEAR(actual, expected, 1e-6 * (1.0 + std::fabs(expected)));
}

State trained(const std::vector<Row>& rows) {
    State s;
    EXPECT_EQ(update(s, rows), tqMVNSuccess);
    return s;
}

// Checks that s rates x with the given measurements invalid as the textbook density of the
// sub-block of its estimate.
void expectSubBlockModel(const State& s, const Row& x, const Indices& invalid) {
    const long d = s.dim();
    const auto m = s.mean(), c = s.covariance();
    auto valid = [&](long i) { return !std::count(invalid.begin(), invalid.end(), i); };
    Row subMean, subX;
    std::vector<double> subCov;
    for (long i = 0; i < d; ++i) {
        if (!valid(i)) continue;
        subMean.push_back(m.data[i]);
        subX.push_back(x[i]);
        for (long j = 0; j < d; ++j)
            if (valid(j)) subCov.push_back(c.data[i * d + j]);
    }
    expectNearDensity(lv(s, x, invalid), directLogDensity(subMean, subCov, subX));
}

}  // namespace

// ---- The estimate ---------------------------------------------------------------------------

TEST(MvnEstimate, MeanCovarianceAndDensityMatchDirectComputationAndUpdatesAccumulate) {
    const double eps = std::numeric_limits<double>::epsilon();
    for (std::uint64_t seed : {1u, 2u, 3u, 4u, 5u, 6u}) {
        for (long d : {1L, 3L, 8L}) {
            for (long n : {2L, 17L, 400L}) {
                SCOPED_TRACE("seed " + std::to_string(seed) + " d " + std::to_string(d) + " n " +
                             std::to_string(n));
                Random rnd(seed);
                const auto rows = correlatedRows(rnd, d, n);
                const State s = trained(rows);
                Row mean;
                std::vector<double> cov;
                directEstimate(rows, mean, cov);
                EXPECT_EQ(s.count(), n);
                const auto m = s.mean(), c = s.covariance();
                ASSERT_TRUE(m.rows == 1 && m.cols == d && c.rows == d && c.cols == d);
                for (long i = 0; i < d; ++i) {
                    const double si = std::sqrt(cov[i * d + i]);
                    EXPECT_NEAR(m.data[i], mean[i], 1e-12 * (std::fabs(mean[i]) + si));
                    for (long j = 0; j < d; ++j) {
                        // Deviations from a mean of magnitude |mu| carry rounding of about eps |mu|.
                        const double sj = std::sqrt(cov[j * d + j]);
                        const double tol =
                            1e-11 * si * sj + 64 * eps * (std::fabs(mean[i]) * sj + std::fabs(mean[j]) * si);
                        EXPECT_NEAR(c.data[i * d + j], cov[i * d + j], tol);
                        EXPECT_EQ(c.data[i * d + j], c.data[j * d + i]);  // exactly symmetric
                    }
                }
                // The ridge is far below the tolerance of the density.
                for (std::size_t r = 0; n > d && r < std::min<std::size_t>(3, n); ++r)
                    expectNearDensity(lv(s, rows[r]), directLogDensity(mean, cov, rows[r]));
            }
        }
    }
    // Updates in chunks equal one batch update; incomplete records only fix the dimension.
    Random rnd(11);
    const auto rows = correlatedRows(rnd, 5, 60);
    const State batch = trained(rows);
    for (std::size_t chunk : {1u, 7u, 59u}) {
        State inc;
        for (std::size_t i = 0; i < rows.size(); i += chunk)
            ASSERT_EQ(update(inc, std::vector<Row>(rows.begin() + i,
                                                   rows.begin() + std::min(rows.size(), i + chunk))),
                      tqMVNSuccess);
        EXPECT_EQ(inc.count(), batch.count());
        EXPECT_TRUE(inc.mean() == batch.mean() && inc.covariance() == batch.covariance());
    }
    State s;
    const State reference = trained({{1, 2}, {2, 5}, {4, 4}});
    ASSERT_EQ(update(s, {{1, 2}, {9, 9}, {2, 5}, {4, 4}}, {{}, {1}, {}, {}}), tqMVNSuccess);
    ASSERT_EQ(update(s, {}), tqMVNSuccess);
    EXPECT_EQ(s.count(), 3);
    EXPECT_TRUE(s.mean() == reference.mean() && s.covariance() == reference.covariance());
}

// ---- Statuses -------------------------------------------------------------------------------

// Every refused call names its reason and leaves the state as it was.
TEST(MvnStatus, RefusedCallsReturnTheirStatusAndChangeNothing) {
    State s = trained({{1, 2}, {2, 3}, {0, 7}}), empty, incomplete, zero;
    ASSERT_EQ(update(incomplete, {{1}}, {{0}}), tqMVNSuccess);
    const double e[9] = {1, 0, 0, 0, 1, 0, 0, 0, 1}, z[1] = {0.0};
    ASSERT_EQ(tfMVNRebuild(zero.get(), 1, 1, z, 1, 1, z, 0), tqMVNSuccess);
    tqMVNRecord r;
    ASSERT_EQ(tfMVNRecordConstruct(&r), tqMVNSuccess);
    double v = 0;
    long n = 0;
    const State before = s;
    const long kBad = tqMVNBadArgument, kSize = tqMVNSizeMismatch, kNone = tqMVNNoData;
    const struct {
        const char* what;
        std::function<long()> call;
        long status;
    } rows[] = {
        {"checked before the first is added", [&] { return update(s, {{5, 5}, {1}}); }, kSize},
        {"rating a shorter record", [&] { return logValue(s, {1}).first; }, kSize},
        {"invalid index past the record", [&] { return update(s, {{1, 2}}, {{2}}); }, kBad},
        {"negative invalid index", [&] { return update(s, {{1, 2}}, {{-1}}); }, kBad},
        {"rating with an index past", [&] { return logValue(s, {1, 2}, {2}).first; }, kBad},
        {"normalization 0", [&] { return update(s, {{1, 2}}, {}, 0.0); }, kBad},
        {"normalization inf", [&] { return update(s, {{1, 2}}, {}, kInf); }, kBad},
        {"rebuild, other lengths", [&] { return tfMVNRebuild(s.get(), 1, 3, e, 2, 2, e, 4); }, kBad},
        {"rebuild, not a row", [&] { return tfMVNRebuild(s.get(), 3, 1, e, 3, 3, e, 4); }, kBad},
        {"rebuild, count < 0", [&] { return tfMVNRebuild(s.get(), 1, 3, e, 3, 3, e, -1); }, kBad},
        {"rebuild, count 2^31", [&] { return tfMVNRebuild(s.get(), 1, 3, e, 3, 3, e, 1L << 31); }, kBad},
        {"rebuild, empty, count 2", [&] { return tfMVNRebuild(s.get(), 0, 0, nullptr, 0, 0, nullptr, 2); },
         kBad},
        {"null record", [&] { return tfMVNLogValue(s.get(), nullptr, &v); }, kBad},
        {"null result", [&] { return tfMVNLogValue(s.get(), &r, nullptr); }, kBad},
        {"negative list size", [&] { return tfMVNDoubleListResize(&r.measurements, -1); }, kBad},
        {"null list", [&] { return tfMVNDoubleListResize(nullptr, 1); }, kBad},
        {"null update", [&] { return tfMVNUpdateWithNormalization(s.get(), nullptr, 1.0); }, kBad},
        {"null construct", [&] { return tfMVNConstruct(nullptr); }, kBad},
        {"null count", [&] { return tfMVNCount(nullptr, &n); }, kBad},
        {"assigning to itself", [&] { return tfMVNAssign(s.get(), s.get()); }, tqMVNSuccess},
        {"incomplete data only", [&] { return logValue(incomplete, {1}).first; }, kNone},
        {"rebuilt with count 0", [&] { return logValue(zero, {1}).first; }, kNone},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(row.call(), row.status) << row.what;
        EXPECT_TRUE(s.count() == 3 && s.mean() == before.mean() && s.covariance() == before.covariance())
            << row.what;
    }
    ASSERT_EQ(tfMVNRecordDestroy(&r), tqMVNSuccess);
    // A list that disagrees with itself leaves a fresh state without dimension.
    EXPECT_EQ(update(empty, {{1, 2}, {1, 2, 3}}), tqMVNSizeMismatch);
    EXPECT_EQ(empty.dim(), -1);
}

// ---- Marginal densities ---------------------------------------------------------------------

TEST(MvnMarginal, EqualsTheDensityOfTheSubBlockModel) {
    for (std::uint64_t seed : {21u, 22u, 23u}) {
        Random rnd(seed);
        const State s = trained(correlatedRows(rnd, 5, 50));
        const Row x = correlatedRows(rnd, 5, 1)[0];
        for (const Indices& invalid : {Indices{1, 3}, Indices{0}, Indices{4, 0, 1, 2}}) {
            expectSubBlockModel(s, x, invalid);
            // Invalid measurements' values do not matter, nor the order or repetition of indices.
            Row y = x;
            for (auto i : invalid) y[i] = 1e30;
            Indices shuffled(invalid.rbegin(), invalid.rend());
            shuffled.push_back(invalid[0]);
            EXPECT_EQ(lv(s, y, shuffled), lv(s, x, invalid));
        }
    }
    // A record with nothing valid rates zero.
    EXPECT_EQ(lv(trained({{1, 0, 2}, {2, 1, 1}, {4, 5, 0}, {1, 1, 1}}), {1, 2, 3}, {2, 0, 1}), 0.0);
}

// ---- Degenerate estimates -------------------------------------------------------------------

// A single pattern, a constant measurement, a perfectly correlated pair: densities stay
// finite and peak at the data, and each varying measurement alone is an ordinary normal.
TEST(MvnRegularisation, DegenerateEstimatesGiveFiniteDensitiesPeakedAtTheData) {
    const struct {
        std::vector<Row> rows;
        Row at, off;
        std::vector<Row> alone;  // the rows of measurement 1 alone, if it varies
    } cases[] = {
        {{{3.0}}, {3.0}, {3.001}, {}},
        {{{5, 1}, {5, 2}, {5, 4}, {5, 3}}, {5.0, 2.0}, {5.001, 2.0}, {{1}, {2}, {4}, {3}}},
        {{{2, 1}, {4, 2}, {6, 3}, {8, 4}}, {5.0, 2.5}, {5.5, 2.5}, {{1}, {2}, {3}, {4}}},
    };
    for (const auto& c : cases) {
        const State s = trained(c.rows);
        const double at = lv(s, c.at);
        EXPECT_TRUE(std::isfinite(at) && std::isfinite(lv(s, c.off)));
        EXPECT_LT(lv(s, c.off), at);
        if (c.rows.size() == 1) {  // the ridge is not part of the stored estimate
            EXPECT_EQ(s.covariance().data, std::vector<double>(c.at.size() * c.at.size(), 0.0));
        } else {
            EXPECT_NEAR(lv(s, {0.0, 2.5}, {0}), lv(trained(c.alone), {2.5}), 1e-8);
        }
    }
    // A value far from a constant is very unlikely, yet finite; extreme input rates at the floor.
    const double far = lv(trained(cases[1].rows), {6.0, 2.0});
    EXPECT_TRUE(std::isfinite(far));
    EXPECT_LT(far, -1e20);
    const State s = trained({{1.0}, {1.0}}), wide = trained({{1.0, 0.0}, {2.0, 1.0}, {0.0, 5.0}});
    for (const Row& x : {Row{1e200}, Row{-1e300}, Row{kInf}, Row{std::nan("")}}) EXPECT_EQ(lv(s, x), -1e300);
    EXPECT_EQ(lv(wide, {std::nan(""), 0.0}), -1e300);
    EXPECT_TRUE(std::isfinite(lv(wide, {std::nan(""), 0.0}, {0})));
}

// ---- Rebuilding, copies, lists --------------------------------------------------------------

TEST(MvnRebuild, FromMeanCovarianceAndCountGivesIdenticalLogValuesAndContinuesAsCopiesDo) {
    Random rnd(31);
    const State s = trained(correlatedRows(rnd, 4, 30));
    const auto m = s.mean(), c = s.covariance();
    State r;
    ASSERT_EQ(tfMVNRebuild(r.get(), m.rows, m.cols, m.data.data(), c.rows, c.cols, c.data.data(), s.count()),
              tqMVNSuccess);
    for (const Row& x : correlatedRows(rnd, 4, 5)) EXPECT_EQ(lv(r, x), lv(s, x));
    State more = s;  // a copy of s with the cache the ratings above built
    const auto extra = correlatedRows(rnd, 4, 10);
    const double before = lv(s, extra[0]);
    ASSERT_EQ(update(more, extra), tqMVNSuccess);
    ASSERT_EQ(update(r, extra), tqMVNSuccess);
    for (long i = 0; i < 16; ++i)
        EXPECT_NEAR(r.covariance().data[i], more.covariance().data[i], 1e-12 * (1.0 + std::fabs(c.data[i])));
    // The copy is independent, and its update dropped the cache it copied.
    EXPECT_EQ(lv(s, extra[0]), before);
    expectNearDensity(lv(more, extra[0]), lv(r, extra[0]));
    // A stored covariance that is not positive semi-definite factors with its pivot raised to
    // the floor: an unlikely yet ordinary value, above the clamp that NaN would fall to.
    const double mean2[2] = {0.0, 0.0}, indefinite[4] = {1.0, 2.0, 2.0, 1.0};
    ASSERT_EQ(tfMVNRebuild(r.get(), 1, 2, mean2, 2, 2, indefinite, 5), tqMVNSuccess);
    const double v = lv(r, {0.5, -0.5});
    EXPECT_TRUE(v < -1e6 && v > -1e20) << v;
    // 0 x 0 with count 0 is the state without dimension; 1 x 0 keeps dimension 0.
    ASSERT_EQ(tfMVNRebuild(r.get(), 0, 0, nullptr, 0, 0, nullptr, 0), tqMVNSuccess);
    EXPECT_EQ(r.dim(), -1);
    ASSERT_EQ(tfMVNRebuild(r.get(), 1, 0, nullptr, 0, 0, nullptr, 3), tqMVNSuccess);
    EXPECT_EQ(r.dim(), 0);
    EXPECT_EQ(lv(r, {}), 0.0);
    EXPECT_EQ(update(r, {{1}}), tqMVNSizeMismatch);
}

TEST(MvnLists, GrowingKeepsContentsAndZeroFills) {
    tqMVNRecord r;
    ASSERT_EQ(tfMVNRecordConstruct(&r), tqMVNSuccess);
    double* m = nullptr;
    fill(r, {1, 2, 3}, {});
    ASSERT_EQ(tfMVNDoubleListResize(&r.measurements, 40), tqMVNSuccess);  // leaves the record
    ASSERT_EQ(tfMVNDoubleListData(&r.measurements, &m), tqMVNSuccess);
    EXPECT_TRUE(m[2] == 3.0 && m[39] == 0.0);
    ASSERT_EQ(tfMVNDoubleListResize(&r.measurements, 2), tqMVNSuccess);
    ASSERT_EQ(tfMVNDoubleListResize(&r.measurements, 4), tqMVNSuccess);
    EXPECT_TRUE(m[1] == 2.0 && m[2] == 0.0);
    ASSERT_EQ(tfMVNRecordDestroy(&r), tqMVNSuccess);

    tqMVNRecordList list;
    tqMVNRecord* recs = nullptr;
    ASSERT_EQ(tfMVNRecordListConstruct(&list), tqMVNSuccess);
    ASSERT_EQ(tfMVNRecordListResize(&list, 1), tqMVNSuccess);
    ASSERT_EQ(tfMVNRecordListData(&list, &recs), tqMVNSuccess);
    fill(recs[0], Row(20, 1.5), {7});
    ASSERT_EQ(tfMVNRecordListResize(&list, 5), tqMVNSuccess);  // moves the records
    ASSERT_EQ(tfMVNRecordListData(&list, &recs), tqMVNSuccess);
    ASSERT_EQ(tfMVNDoubleListData(&recs[0].measurements, &m), tqMVNSuccess);
    EXPECT_TRUE(recs[0].measurements.size == 20 && m[19] == 1.5 && recs[4].measurements.size == 0);
    EXPECT_EQ(tfMVNRecordListResize(&list, -2), tqMVNBadArgument);
    ASSERT_EQ(tfMVNRecordListResize(&list, 2), tqMVNSuccess);
    ASSERT_EQ(tfMVNRecordListDestroy(&list), tqMVNSuccess);
}
