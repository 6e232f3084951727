// Internal to the k-nearest-neighbour classifier: an exact k-d tree over the packed rows.
// Not part of the public API (not included by clastool.h); exported for the tests.
#ifndef CLASTOOL_KNNINDEX_H
#define CLASTOOL_KNNINDEX_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

class tqClassifierDataProviderMemory;

namespace tq_knn {
class PackedRows;
struct LeafTable;

// How query sets choose between the tree and the scan: CLASTOOL_KNN_INDEX=scan or =tree forces
// one (read at every query set and every build, so a benchmark may switch it), anything else
// leaves the choice to the cost model.
enum class IndexChoice { automatic, scan, tree };
IndexChoice indexChoice();

// A k-d tree over the leading rows of packed rows, exact under the norm metric of every order the
// scan's skip test covers (1 to 64): it gives the scan's neighbours and distances, bit for bit,
// tie rule included (see the proof in the source). Building it reorders the rows it covers in
// place (PackedRows::reorder), each node's rows consecutive, so that a leaf is one sequential
// read; it holds a bounding box per node (as codes within its parent's) and, where the float pass
// is taken, a table of every leaf's box that the search tests in one pass instead of descending;
// never a copy of the rows, and it is not changed once built.
class RowIndex {
public:
    // Leaves hold at most this many rows, in blocks of 32, and at least half as many in a tree
    // over more (measured with the table of leaves: 512 about 7 % faster than 256 at 1,000,000 x 8
    // and 8 to 12 % at 20,000 and 100,000 x 8; docs/performance.md, "Exact index"); the node boxes
    // then take at most d x n / 64 bytes, the leaves' records about d x n + (36 d + 16) x n / 256,
    // the table of leaves (17 d + 4) x n / 256, and the stored number of each reordered row
    // 4 x n bytes: within 0.5 x n x d x 8 for d >= 2.
    static constexpr long kLeafRows = 512;

    // An index over the first `count` packed rows, which it reorders, or null (rows unchanged)
    // where none may be built: fewer than 2 or more than 2^20 measurements, more than 2^32 - 1
    // rows, fewer rows than are reordered already, or a measurement that is not finite (the
    // scan's treatment of NaN distances does not follow box bounds).
    static std::unique_ptr<const RowIndex> build(PackedRows& rows, long count);
    // Whether training (and the first search of a loaded classifier) builds an index over `rows`
    // patterns of `dims` measurements: the measured rule in docs/performance.md, or what
    // CLASTOOL_KNN_INDEX forces.
    static bool worthBuilding(long rows, long dims);
    // Whether an index over `indexed` of `rows` packed rows should be rebuilt to cover them all.
    static bool worthRebuilding(long indexed, long rows);

    long rows() const { return rows_; }
    std::size_t bytes() const;

    // Whether the cost model picks the tree for queries against n stored rows, k neighbours.
    bool pays(long n, long k) const;

    // The search of findNearestPacked over stored rows [0, n), all of them packed and the first
    // rows() reordered by this index, with the same results; rows after the indexed ones are
    // scanned. False, with nothing written, when this query set must take the scan: order
    // without skip test, dims not the rows' length, a query or an unindexed row with a value
    // that is not finite. k >= 1.
    bool search(const PackedRows& packed, long n, double p, const double* const* queries, long count, long dims,
                long k, std::vector<long>* indices, std::vector<double>* distances) const;

    RowIndex(const RowIndex&) = delete;
    RowIndex& operator=(const RowIndex&) = delete;

private:
    RowIndex(long rows, long dims);
    void build_(const PackedRows& packed, std::vector<std::uint32_t>& order, long node, long begin, long end,
                const std::vector<double>& lo, const std::vector<double>& hi, const float* box);
    void probe_(const PackedRows& packed);
    void buildCodes_(const PackedRows& packed);
    void codeLeaf_(const PackedRows& packed, const float* box, long begin, long end);
    void buildLeafTable_();
    bool fits_(std::size_t more) const;
    LeafTable leafTable() const;

    long rows_;
    long dims_;
    std::vector<float> root_;             // the root's box: d lower then d upper corners, rounded outward
    std::vector<std::uint8_t> boxCodes_;  // per inner node, its children's boxes as codes within its own
    // Per leaf, a record for the float bound pass (empty where it is not taken): the bound of its
    // decoding errors (NaN: no float pass), d steps, per measurement its blocks' smallest then
    // largest codes, then its rows as 8-bit codes, block by block and in each block measurement
    // by measurement: measurement j of a row decodes to fma(code, step_j, lo_j) in float, lo the
    // leaf's lower corner.
    std::vector<std::uint8_t> records_;
    // Every leaf's box in floats, leaves left to right (empty where the leaf table is not used):
    // leafBoxes_ per leaf its lower then upper corner; leafPass_ the same per group of eight
    // leaves, measurement by measurement the eight lower corners then the eight upper ones
    // (groups past the last leaf padded with copies of it); leafGroups_ the box that holds the
    // boxes of each group of eight leaves, in the same layout per eight groups; leafBegins_ the
    // first row of every leaf and, last, the number of rows.
    std::vector<float> leafBoxes_;
    std::vector<float> leafPass_;
    std::vector<float> leafGroups_;
    std::vector<std::uint32_t> leafBegins_;
    double probeCost_ = 0.0;            // estimated cost of one query, k = 5 (see pays)
};

// The search of findNearestPacked with its results, errors and check order, through `index` when
// there is one covering part of `rows`, every stored pattern is packed and indexChoice() or the
// cost model picks it.
void findNearest(const PackedRows& rows, const RowIndex* index, const tqClassifierDataProviderMemory& data,
                 double p, const double* const* queries, long count, long dims, long k, std::vector<long>* indices,
                 std::vector<double>* distances);

}  // namespace tq_knn

#endif
