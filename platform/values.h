// Small value types of the foundation: closed ranges, dense matrices and pairs.
#ifndef TQ_PLATFORM_VALUES_H
#define TQ_PLATFORM_VALUES_H

#include <cstddef>
#include <vector>

// The closed interval [low, high]. NaN lies in no range.
class tqRange {
public:
    tqRange() = default;  // the empty-looking [0, 0]
    tqRange(double low, double high) : low_(low), high_(high) {}
    // [-inf, +inf]
    static tqRange FullRange();

    double low() const { return low_; }
    double high() const { return high_; }
    bool isWithin(double x) const { return x >= low_ && x <= high_; }

    bool operator==(const tqRange& o) const { return low_ == o.low_ && high_ == o.high_; }
    bool operator!=(const tqRange& o) const { return !(*this == o); }

private:
    double low_ = 0.0;
    double high_ = 0.0;
};

// A rows-by-columns matrix of doubles, zero-filled on construction, stored row by row.
class tqNMMatrix {
public:
    tqNMMatrix() = default;
    // Throws tqExceptionWithString for a negative count.
    tqNMMatrix(long rows, long cols);

    long rows() const { return rows_; }
    long cols() const { return cols_; }
    // Unchecked element access: row in [0, rows()), column in [0, cols()).
    double element(long row, long col) const { return data_[static_cast<std::size_t>(row * cols_ + col)]; }
    double& element(long row, long col) { return data_[static_cast<std::size_t>(row * cols_ + col)]; }
    const std::vector<double>& data() const { return data_; }

    bool operator==(const tqNMMatrix& o) const { return rows_ == o.rows_ && cols_ == o.cols_ && data_ == o.data_; }
    bool operator!=(const tqNMMatrix& o) const { return !(*this == o); }

private:
    long rows_ = 0;
    long cols_ = 0;
    std::vector<double> data_;
};

template <class T>
struct tqPair {
    tqPair() = default;
    tqPair(T f, T s) : first(f), second(s) {}
    bool operator==(const tqPair& o) const { return first == o.first && second == o.second; }
    bool operator!=(const tqPair& o) const { return !(*this == o); }
    T first{};
    T second{};
};

#endif
