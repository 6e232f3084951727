// Value types and their archive forms.
#include "platform/values.h"

#include <limits>

#include "platform/archive.h"
#include "platform/exception.h"

tqRange tqRange::FullRange() {
    return tqRange(-std::numeric_limits<double>::infinity(), std::numeric_limits<double>::infinity());
}

tqNMMatrix::tqNMMatrix(long rows, long cols) {
    if (rows < 0 || cols < 0) throw tqExceptionWithString("tqNMMatrix: negative number of rows or columns");
    if (cols != 0 && rows > std::numeric_limits<long>::max() / cols)
        throw tqExceptionWithString("tqNMMatrix: too many elements");
    data_.assign(static_cast<std::size_t>(rows * cols), 0.0);
    rows_ = rows;
    cols_ = cols;
}

// Version byte 0, then low and high.
tqArchive& operator||(tqArchive& ar, tqRange& v) {
    unsigned char version = 0;
    ar || version;
    tqArchive::checkVersion(version, "tqRange");
    double low = v.low();
    double high = v.high();
    ar || low || high;
    if (ar.isLoading()) v = tqRange(low, high);
    return ar;
}

// Version byte 0, rows, columns, then the elements row by row.
tqArchive& operator||(tqArchive& ar, tqNMMatrix& v) {
    unsigned char version = 0;
    ar || version;
    tqArchive::checkVersion(version, "tqNMMatrix");
    long rows = v.rows();
    long cols = v.cols();
    ar || rows || cols;
    if (ar.isStoring()) {
        for (double x : v.data()) ar || x;
        return ar;
    }
    if (rows < 0 || cols < 0)
        throw tqArchive::Malformed("malformed archive: matrix of " + std::to_string(rows) + " by " +
                                   std::to_string(cols));
    const auto urows = static_cast<std::uint64_t>(rows);
    const auto ucols = static_cast<std::uint64_t>(cols);
    if (ucols != 0 && urows > std::numeric_limits<std::uint64_t>::max() / ucols)
        throw tqArchive::Malformed("malformed archive: matrix of " + std::to_string(rows) + " by " +
                                   std::to_string(cols));
    const std::uint64_t count = urows * ucols;
    ar.checkAvailable(count, 8);
    // Read first, grow as the input allows, build last: a short input never allocates the
    // whole matrix, and the target keeps its value when reading fails.
    std::vector<double> elements;
    for (std::uint64_t i = 0; i < count; ++i) {
        double x = 0.0;
        ar || x;
        elements.push_back(x);
    }
    // Filled by element count, not by rows: a matrix of 2^62 rows and no columns holds nothing
    // and must not cost a loop over its rows.
    tqNMMatrix loaded(rows, cols);
    for (std::uint64_t i = 0; i < count; ++i)
        loaded.element(static_cast<long>(i / ucols), static_cast<long>(i % ucols)) = elements[i];
    v = std::move(loaded);
    return ar;
}
