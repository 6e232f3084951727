// libFuzzer target: the k-nearest-neighbour index against the scan.
//
// The input chooses the number of measurements d (1 to 8), of stored rows n (200 to 6,000, so
// that the tree has up to sixteen leaves and its table of leaves its groups of eight), k (edge
// values around the leaf and block sizes, n itself and beyond, or any), the norm's order (from
// a table of orders the classifier takes, inside the range the index covers and outside it) and
// how the rows and queries are drawn: every value comes from a palette that stresses the proof
// in knnindex.cpp (small integers with exact ties, duplicate rows, values about 2^64 and beyond,
// tiny and subnormal values, negative zero, float limits), scaled per measurement (spreads of
// hundreds of binary orders in one measurement), a few nudged by an ulp or three, and, where the
// input asks, values that are not finite in stored rows, added rows or queries. The input's own
// bytes choose the first values; a generator seeded from the whole input the rest.
//
// Every stored row has a label of its own (for k up to 64), so a result names the neighbours found. Two tools
// train on the same data, one with the tree forced and one with the scan (CLASTOOL_KNN_INDEX,
// read at every build and every query set); a batch of queries and each query on its own must
// give the same results on both sides, bit for bit. Then two classifiers take rows by
// incremental training (enough, where the input asks, to rebuild the index), searched in
// between, and go through the archive; their results must agree after each step. Beside the
// public interface, the index is searched directly, over the first `indexed` rows and the rest
// scanned, against the scan over the same rows in stored order, where the order of the
// neighbours and their distance bits are visible. Any difference traps.
#include <cfloat>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <sstream>
#include <string>
#include <vector>

#include "clss/clastool/clastool.h"
#include "clss/clastool/knnindex.h"
#include "clss/clastool/knnsearch.h"
#include "clss/clastool/knnstore.h"
#include "fuzz/exercise.h"
#include "fuzz/value_types.h"
#include "platform/archive.h"
#include "platform/random.h"

namespace {

[[noreturn]] void differs(const char* what, long at) {
    std::fprintf(stderr, "knnindex_fuzzer: %s differs (at %ld)\n", what, at);
    __builtin_trap();
}

// The input's bytes in order, then zeros.
class Bytes {
public:
    Bytes(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    unsigned byte() { return at_ < size_ ? data_[at_++] : 0u; }
    unsigned u16() { return byte() | byte() << 8; }
    bool left() const { return at_ < size_; }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t at_ = 0;
};

// The generator's next value below n (0 for n = 0).
std::uint64_t below(tqRandomUniform& random, std::uint64_t n) { return n ? random.nextBits() % n : 0; }

const double kInf = std::numeric_limits<double>::infinity();
const double k2p64 = 18446744073709551616.0;

// Finite values, eight per row: exact ties, the float pass's limit of 2^64, subnormals, float and
// double limits.
// clang-format off
const double kPalette[32] = {
    0.0, 1.0, 2.0, 3.0, -1.0, 7.0, 0.5, -0.0,
    0x1p53, 0x1p53 + 2, k2p64, 0x1.fffffffffffffp63, 0x1.0000000000001p64, -k2p64, 0x1p65, 0x1.8p63,
    1e-310, 5e-324, -5e-324, 0x1p-126, 0x1p-149, 0x1p-150, 1e-40, 0.1,
    FLT_MAX, 0x1.fffffe0000001p127, 1e300, -1e300, DBL_MAX, 1.0 / 3.0, 255.0, -4096.0,
};
// clang-format on
const double kNotFinite[3] = {kInf, -kInf, std::numeric_limits<double>::quiet_NaN()};
// Per measurement; a spread of 2^-1000 to 2^900 between two measurements of one row.
const double kScales[8] = {1.0, 1.0, 1.0, 0x1p-60, 0x1p60, 0x1p-1000, 0x1p900, -1.0};
// Orders the classifier takes: within the index's range (1 to 64, the cheap sums of orders 1, 2
// and 3 each), at its edges and outside it (the scan alone).
// clang-format off
const double kOrders[16] = {1.0, 1.5, 2.0, 2.5, 3.0, 7.0, 64.0, 0x1.0000000000001p0, 0x1.fffffffffffffp0,
                            0x1.fffffffffffffp1, 0x1.0000000000001p1, 4.0, 0.5, 64.5, 100.0, kInf};
// clang-format on

struct Draw {
    std::uint32_t mask = 0;                              // palette entries in use
    unsigned duplicates = 0, nudges = 0, notFinite = 0;  // rates out of 16, 16 and 256
    std::vector<double> scales;
};

class Source {
public:
    Source(Bytes& bytes, tqRandomUniform& random, const Draw& draw)
        : bytes_(bytes), random_(random), draw_(draw) {}

    double value(long j, bool mayBeOdd) {
        // The input's own bytes first: palette entry, nudge, and where allowed not finite.
        const bool own = bytes_.left();
        const unsigned b = own ? bytes_.byte() : static_cast<unsigned>(random_.nextBits());
        if (mayBeOdd && (own ? (b & 0xe0) == 0xe0 && draw_.notFinite : below(random_, 256) < draw_.notFinite))
            return kNotFinite[b % 3];
        unsigned pick = b & 31;
        if (!own)
            for (int tries = 0; tries < 32 && !(draw_.mask >> pick & 1u); ++tries) pick = (pick + 1) & 31;
        double v = kPalette[pick] * draw_.scales[static_cast<std::size_t>(j)];
        const unsigned steps = own                                 ? (b >> 5) & 3
                               : below(random_, 16) < draw_.nudges ? 1 + below(random_, 3)
                                                                   : 0;
        for (unsigned s = 0; s < steps; ++s) v = std::nextafter(v, (b ^ s) & 1 ? kInf : -kInf);
        return v;
    }

    std::vector<double> row(long dims, bool mayBeOdd) {
        std::vector<double> v(static_cast<std::size_t>(dims));
        for (long j = 0; j < dims; ++j) v[static_cast<std::size_t>(j)] = value(j, mayBeOdd);
        return v;
    }

    // Rows, some copies of earlier ones (exact duplicates, at equal distance from every query).
    void rows(long count, long dims, bool mayBeOdd, std::vector<std::vector<double>>& out) {
        for (long i = 0; i < count; ++i)
            out.push_back(!out.empty() && below(random_, 16) < draw_.duplicates
                              ? out[below(random_, out.size())]
                              : row(dims, mayBeOdd));
    }

private:
    Bytes& bytes_;
    tqRandomUniform& random_;
    const Draw& draw_;
};

// The tools and classifiers of one side, each call with that side's choice in force.
struct Side {
    const char* choice;
    void use() const { setenv("CLASTOOL_KNN_INDEX", choice, 1); }
};

// The batch, then the first three queries and the last alone (which must give the batch's bits;
// a query alone takes the search without the float pass).
template <class Model, class RunOne, class RunBatch>
std::vector<tqClassifierResult> results(const Side& side, const Model& model,
                                        const std::vector<double>& values, long count, long dims,
                                        RunOne&& runOne, RunBatch&& runBatch) {
    std::vector<tqClassifierResult> batch(static_cast<std::size_t>(count));
    side.use();
    runBatch(model,
             tqPatternRows{values.data(), nullptr, static_cast<std::size_t>(count),
                           static_cast<std::size_t>(dims), static_cast<std::size_t>(dims)},
             batch.data());
    for (long q = 0; q < count; q = q + 1 < 3 || q + 1 == count ? q + 1 : count - 1) {
        const auto* a = values.data() + q * dims;
        tqClassifierResult single;
        side.use();
        runOne(model, tqFeaturePattern(std::vector<double>(a, a + dims)), single);
        if (!fuzz::sameBits(single, batch[static_cast<std::size_t>(q)]))
            differs("a single run against its batch", q);
    }
    return batch;
}

std::vector<tqClassifierResult> results(const Side& side, const tqClassifierTool& tool,
                                        const std::vector<double>& values, long count, long dims) {
    return results(
        side, tool, values, count, dims,
        [](const tqClassifierTool& t, const tqFeaturePattern& p, tqClassifierResult& r) { t.run(p, r); },
        [](const tqClassifierTool& t, const tqPatternRows& rows, tqClassifierResult* out) {
            t.runBatch(rows, out);
        });
}

std::vector<tqClassifierResult> results(const Side& side, const tq_Classifier& c,
                                        const std::vector<double>& values, long count, long dims) {
    return results(
        side, c, values, count, dims,
        [](const tq_Classifier& m, const tqFeaturePattern& p, tqClassifierResult& r) {
            m.run(p, r, nullptr, 0);
        },
        [](const tq_Classifier& m, const tqPatternRows& rows, tqClassifierResult* out) {
            m.runBatch(rows, out);
        });
}

void same(const std::vector<tqClassifierResult>& tree, const std::vector<tqClassifierResult>& scan,
          const char* what) {
    for (std::size_t q = 0; q < tree.size(); ++q)
        if (!fuzz::sameBits(tree[q], scan[q])) differs(what, static_cast<long>(q));
}

bool allFinite(const std::vector<double>& values) {
    for (double v : values)
        if (!std::isfinite(v)) return false;
    return true;
}

// The index over the first `indexed` stored rows, the rest scanned, against the scan in stored
// order: neighbours, their order and their distance bits, for the batch and for each query
// alone. The tree must answer wherever it can: every value finite, 2 measurements or more, an
// order from 1 to 64. It is built wherever the indexed rows are finite and have 2 measurements or more.
void searchDirectly(const tqClassifierDataProviderMemory& data, double p, const std::vector<double>& values,
                    long count, long dims, long k, long indexed) {
    const tq_knn::PackedRows plain(data);
    tq_knn::PackedRows reordered(data);
    const auto index = tq_knn::RowIndex::build(reordered, indexed);
    const long n = data.numPatterns();
    bool finiteIndexed = true, finiteAfter = true;
    for (long i = 0; i < n; ++i)
        (i < indexed ? finiteIndexed : finiteAfter) &= tq_knn::finiteValues(plain.row(i), dims);
    if ((dims >= 2 && finiteIndexed) != static_cast<bool>(index))
        differs("whether an index is built", indexed);
    const bool treeOrder = finiteAfter && p >= 1.0 && p <= 64.0;
    const bool expected = treeOrder && allFinite(values);
    std::vector<const double*> queries;
    for (long q = 0; q < count; ++q) queries.push_back(values.data() + q * dims);
    const auto size = static_cast<std::size_t>(count);
    std::vector<std::vector<long>> wantIndices(size), gotIndices(size);
    std::vector<std::vector<double>> wantDistances(size), gotDistances(size);
    tq_knn::findNearestPacked(plain, data, p, queries.data(), count, dims, k, wantIndices.data(),
                              wantDistances.data());
    const auto check = [&](const char* what, long from, long to) {
        for (long q = from; q < to; ++q) {
            const auto& want = wantDistances[static_cast<std::size_t>(q)];
            const auto& got = gotDistances[static_cast<std::size_t>(q)];
            if (gotIndices[static_cast<std::size_t>(q)] != wantIndices[static_cast<std::size_t>(q)] ||
                got.size() != want.size() ||
                (!want.empty() && std::memcmp(got.data(), want.data(), want.size() * sizeof(double)) != 0))
                differs(what, q);
        }
    };
    // The scan over the rows the index reordered replays stored order.
    tq_knn::findNearestPacked(reordered, data, p, queries.data(), count, dims, k, gotIndices.data(),
                              gotDistances.data());
    check("the scan over reordered rows", 0, count);
    if (!index) return;
    if (index->search(reordered, n, p, queries.data(), count, dims, k, gotIndices.data(),
                      gotDistances.data()) != expected)
        differs("whether the tree answers the batch", indexed);
    if (expected) check("the tree's batch", 0, count);
    for (long q = 0; q < count; ++q) {
        const auto at = static_cast<std::size_t>(q);
        const bool answers = treeOrder && tq_knn::finiteValues(queries[at], dims);
        if (index->search(reordered, n, p, &queries[at], 1, dims, k, &gotIndices[at], &gotDistances[at]) !=
            answers)
            differs("whether the tree answers a query alone", q);
        if (answers) check("the tree's query alone", q, q + 1);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::uint64_t hash = 1469598103934665603ull;
    for (std::size_t i = 0; i < size; ++i) hash = (hash ^ data[i]) * 1099511628211ull;
    tqRandomUniform random(static_cast<long>(hash));
    Bytes bytes(data, size);

    // The shape of the problem.
    const unsigned shape = bytes.byte();
    const long dims = 1 + (shape & 7);
    const unsigned odd = shape >> 3 & 7;  // values not finite in stored rows, added rows, queries
    const long rowsPick = bytes.u16();
    const unsigned kPick = bytes.byte() % 16;
    // A list of k neighbours costs O(k) per row offered: with k from 256 on, at most 1,000 rows.
    const long n = 200 + rowsPick % (kPick < 8 ? 5801 : 801);
    const long kTable[12] = {1, 2, 3, 5, 8, 31, 32, 33, 256, n - 1, n, n + 7};
    const long k = kPick < 12 ? kTable[kPick] : 1 + static_cast<long>(bytes.u16()) % n;
    const double p = kOrders[bytes.byte() % 16];
    Draw draw;
    draw.mask = bytes.byte() | bytes.byte() << 8 | bytes.byte() << 16 |
                static_cast<std::uint32_t>(bytes.byte()) << 24;
    if (draw.mask == 0) draw.mask = ~0u;
    const unsigned rates = bytes.byte();
    draw.duplicates = rates & 15;
    draw.nudges = rates >> 4;
    draw.notFinite = 1 + bytes.byte() % 4;
    const unsigned scaleBits = bytes.byte() | bytes.byte() << 8 | bytes.byte() << 16;
    for (long j = 0; j < dims; ++j) draw.scales.push_back(kScales[scaleBits >> (3 * j) & 7]);
    const unsigned growth = bytes.u16();
    // Up to twice the added rows that rebuild the index, max(n / 8, the leaf size).
    const long rebuild = std::max(n / 8, tq_knn::RowIndex::kLeafRows);
    const long added = static_cast<long>(growth % (2 * rebuild + 2));
    // A result of k labels costs O(k^2): with many neighbours few queries, and labels shared (the
    // direct search still compares every neighbour).
    const long queryCount = 1 + bytes.byte() % (k > 64 ? 5 : 40);
    const long labels = k > 64 ? 61 : n + 2 * rebuild + 2;
    const long indexedPick = bytes.u16();

    // Queries first (the input's bytes reach them before the rows): drawn ones, stored rows
    // themselves, points far outside the data, and stored rows with one value moved.
    Source source(bytes, random, draw);
    std::vector<std::vector<double>> stored, more;
    std::vector<double> queries;
    std::vector<std::vector<double>> drawnQueries;
    for (long q = 0; q < queryCount; ++q) drawnQueries.push_back(source.row(dims, odd & 4));
    source.rows(n, dims, odd & 1, stored);
    source.rows(added, dims, odd & 2, more);
    for (long q = 0; q < queryCount; ++q) {
        std::vector<double> v = drawnQueries[static_cast<std::size_t>(q)];
        switch (below(random, 5)) {
            case 0:
            case 1:
                v = stored[below(random, stored.size())];
                break;
            case 2:
                for (double& x : v)
                    x = (random.nextBits() & 1 ? 1 : -1) * (random.nextBits() & 1 ? 1e300 : 0x1p70);
                break;
            case 3:
                v = stored[below(random, stored.size())];
                v[below(random, v.size())] = drawnQueries[static_cast<std::size_t>(q)][0];
                break;
            default:
                break;
        }
        queries.insert(queries.end(), v.begin(), v.end());
    }

    tqClassifierDataProviderMemory all;
    for (std::size_t i = 0; i < stored.size(); ++i)
        all.addData(tqPtrHandle_const<tqFeaturePattern>(new tqFeaturePattern(stored[i])),
                    static_cast<long>(i) % labels);
    const tqClassifierTrainParamsKNN params(k, tqPatternDistanceMetricNorm(p), tqClassifierCosts());
    const Side tree{"tree"}, scan{"scan"};

    // Training through the tool.
    tqClassifierTool treeTool, scanTool;
    tree.use();
    treeTool.train(all, params);
    scan.use();
    scanTool.train(all, params);
    const auto fresh = results(tree, treeTool, queries, queryCount, dims);
    same(fresh, results(scan, scanTool, queries, queryCount, dims), "trained tools' results");

    // Incremental training, searched half way so that the rows are packed and indexed first.
    tq_ClassifierKNN treeKnn, scanKnn;
    tree.use();
    treeKnn.train(all, params, nullptr, 0);
    scan.use();
    scanKnn.train(all, params, nullptr, 0);
    same(fresh, results(tree, treeKnn, queries, queryCount, dims), "the tool's and the classifier's results");
    const long half = added / 2;
    for (long i = 0; i < added; ++i) {
        const tqFeaturePattern pattern(more[static_cast<std::size_t>(i)]);
        const long label = (n + i) % labels;
        all.addData(tqPtrHandle_const<tqFeaturePattern>(new tqFeaturePattern(pattern)), label);
        tree.use();
        treeKnn.trainIncremental(pattern, label, nullptr, 0);
        scan.use();
        scanKnn.trainIncremental(pattern, label, nullptr, 0);
        if (i + 1 == half)
            same(results(tree, treeKnn, queries, queryCount, dims),
                 results(scan, scanKnn, queries, queryCount, dims), "results after incremental training");
    }
    const auto grown = results(scan, scanKnn, queries, queryCount, dims);
    same(results(tree, treeKnn, queries, queryCount, dims), grown, "results after incremental training");

    // Through the archive: the loaded classifier builds its index at its first search.
    for (const Side* side : {&tree, &scan}) {
        tqPtrHandle<tq_Classifier> held(new tq_ClassifierKNN(side == &tree ? treeKnn : scanKnn)), loaded;
        std::string bytesStored;
        if (!fuzz::storeValue(held, bytesStored)) differs("storing", 0);
        std::istringstream in(bytesStored);
        tqArchive ar(in);
        ar || loaded;
        same(results(*side, *loaded, queries, queryCount, dims), grown, "results after loading");
    }

    const long rows = all.numPatterns();
    searchDirectly(all, p, queries, queryCount, dims, k, 1 + indexedPick % rows);
    unsetenv("CLASTOOL_KNN_INDEX");
    return 0;
}
