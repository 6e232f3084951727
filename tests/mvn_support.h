// Helpers shared by the multivariate-normal kernel suites: owning wrappers around kernel
// objects, and a reproducible random source that does not depend on the standard library's
// distributions.
#ifndef CLASTOOL_TESTS_MVN_SUPPORT_H
#define CLASTOOL_TESTS_MVN_SUPPORT_H

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <utility>
#include <vector>

#include "platform/mvn.h"
#include "platform/random.h"

namespace mvntest {

using Row = std::vector<double>;
using Indices = std::vector<std::int32_t>;

// A kernel state that is constructed and destroyed with the wrapper.
class State {
public:
    State() { EXPECT_EQ(tfMVNConstruct(&s_), tqMVNSuccess); }
    State(const State& o) { EXPECT_EQ(tfMVNCopyConstruct(&s_, &o.s_), tqMVNSuccess); }
    State& operator=(const State&) = delete;
    ~State() { tfMVNDestroy(&s_); }

    tqMVNState* get() { return &s_; }
    const tqMVNState* get() const { return &s_; }

    long count() const { return scalar(tfMVNCount, -1); }
    long dim() const { return scalar(tfMVNDimension, -2); }
    // Mean and covariance as (rows, cols, elements).
    struct Matrix {
        long rows = -1, cols = -1;
        std::vector<double> data;
        bool operator==(const Matrix& o) const { return rows == o.rows && cols == o.cols && data == o.data; }
    };
    Matrix mean() const { return matrix(tfMVNMean); }
    Matrix covariance() const { return matrix(tfMVNCovariance); }

private:
    long scalar(long (*accessor)(const tqMVNState*, long*), long n) const {
        EXPECT_EQ(accessor(&s_, &n), tqMVNSuccess);
        return n;
    }
    Matrix matrix(long (*accessor)(const tqMVNState*, long*, long*, const double**)) const {
        Matrix m;
        const double* e = nullptr;
        EXPECT_EQ(accessor(&s_, &m.rows, &m.cols, &e), tqMVNSuccess);
        if (e) m.data.assign(e, e + m.rows * m.cols);
        return m;
    }
    tqMVNState s_;
};

// Fills a kernel record from measurements and invalid indices.
inline void fill(tqMVNRecord& r, const Row& x, const Indices& invalid) {
    double* m = nullptr;
    std::int32_t* bad = nullptr;
    ASSERT_EQ(tfMVNDoubleListResize(&r.measurements, static_cast<long>(x.size())), tqMVNSuccess);
    ASSERT_EQ(tfMVNDoubleListData(&r.measurements, &m), tqMVNSuccess);
    for (std::size_t i = 0; i < x.size(); ++i) m[i] = x[i];
    ASSERT_EQ(tfMVNIntListResize(&r.invalid, static_cast<long>(invalid.size())), tqMVNSuccess);
    ASSERT_EQ(tfMVNIntListData(&r.invalid, &bad), tqMVNSuccess);
    for (std::size_t i = 0; i < invalid.size(); ++i) bad[i] = invalid[i];
}

// Updates the state with rows (invalid[i] lists the invalid indices of row i, if given).
inline long update(State& s, const std::vector<Row>& rows, const std::vector<Indices>& invalid = {},
                   double normalization = 1.0) {
    tqMVNRecordList list;
    EXPECT_EQ(tfMVNRecordListConstruct(&list), tqMVNSuccess);
    EXPECT_EQ(tfMVNRecordListResize(&list, static_cast<long>(rows.size())), tqMVNSuccess);
    tqMVNRecord* records = nullptr;
    EXPECT_EQ(tfMVNRecordListData(&list, &records), tqMVNSuccess);
    for (std::size_t i = 0; i < rows.size(); ++i)
        fill(records[i], rows[i], i < invalid.size() ? invalid[i] : Indices{});
    const long status = tfMVNUpdateWithNormalization(s.get(), &list, normalization);
    EXPECT_EQ(tfMVNRecordListDestroy(&list), tqMVNSuccess);
    return status;
}

// (status, log value) of one record.
inline std::pair<long, double> logValue(const State& s, const Row& x, const Indices& invalid = {}) {
    tqMVNRecord r;
    EXPECT_EQ(tfMVNRecordConstruct(&r), tqMVNSuccess);
    fill(r, x, invalid);
    double v = -12345.0;
    const long status = tfMVNLogValue(s.get(), &r, &v);
    EXPECT_EQ(tfMVNRecordDestroy(&r), tqMVNSuccess);
    return {status, v};
}

// The log value of a record the test expects to be rated successfully.
inline double lv(const State& s, const Row& x, const Indices& invalid = {}) {
    const auto r = logValue(s, x, invalid);
    EXPECT_EQ(r.first, tqMVNSuccess);
    return r.second;
}

// Uniform and normal draws, the same on every platform.
struct Random {
    explicit Random(std::uint64_t seed) : uniform(seed), normal(seed + 1) {}
    double unit() { return uniform.next(0.0, 1.0); }
    tqRandomUniform uniform;
    tqRandomGaussian normal;
};

// n correlated rows of d measurements with very different offsets and scales per measurement.
inline std::vector<Row> correlatedRows(Random& rnd, long d, long n) {
    std::vector<Row> mix(static_cast<std::size_t>(d), Row(static_cast<std::size_t>(d)));
    Row offset(static_cast<std::size_t>(d)), scale(static_cast<std::size_t>(d));
    for (long i = 0; i < d; ++i) {
        // Diagonally dominant mixing: correlated, yet with a correlation matrix of modest
        // condition, so that densities can be compared with a textbook computation.
        for (long j = 0; j < d; ++j)
            mix[i][j] = i == j ? 1.0 : (rnd.unit() - 0.5) / static_cast<double>(d);
        offset[i] = (rnd.unit() - 0.5) * 200.0;
        scale[i] = std::pow(10.0, static_cast<double>(i % 5) - 2.0);
    }
    std::vector<Row> rows;
    for (long r = 0; r < n; ++r) {
        Row u(static_cast<std::size_t>(d)), x(static_cast<std::size_t>(d));
        for (auto& e : u) e = rnd.normal.next(0.0, 1.0);
        for (long i = 0; i < d; ++i) {
            double v = 0.0;
            for (long j = 0; j < d; ++j) v += mix[i][j] * u[j];
            x[i] = offset[i] + scale[i] * v;
        }
        rows.push_back(x);
    }
    return rows;
}

}  // namespace mvntest

#endif
