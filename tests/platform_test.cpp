// Tests of the platform layer: handles, exceptions and status conversion, the type
// registry, the archive (exact bytes, identity, deep nesting, hostile input), random
// generators, the attention check.
#include "platform/platform.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <sstream>
#include <streambuf>
#include <thread>
#include <vector>

#include "tests/test_support.h"

// Small persistent classes that exist only for these tests.
namespace ptest {

// A counted node holding a value, the next node of a chain and an optional shared node.
class ChainNode : public tqPersistent, public tqRepBase {
public:
    explicit ChainNode(long v = 0) : value(v) { ++live; }
    ChainNode(const ChainNode& o)
        : tqPersistent(o), tqRepBase(o), value(o.value), next(o.next), shared(o.shared) {
        ++live;
    }
    ~ChainNode() override { --live; }
    void dispatchSerialize(tqArchive& ar) override {
        serializeLevel_(ar, this, sizeof(*this), [&](unsigned char version) {
            tqArchive::checkVersion(version, "ptest::ChainNode", 7);
            tqPersistent::dispatchSerialize(ar);
            ar || value || next || shared;
        });
    }
    static tqPersistent* make() { return new ChainNode; }
    long value;
    tqPtrHandle<ChainNode> next, shared;
    static std::atomic<long> live;
};
std::atomic<long> ChainNode::live{0};

// An uncounted persistent class: an error with a version byte of its own.
class TestError : public tqExceptionWithString {
public:
    explicit TestError(const std::string& m = "") : tqExceptionWithString(m) {}
    void dispatchSerialize(tqArchive& ar) override {
        serializeLevel_(ar, this, sizeof(*this), [&](unsigned char version) {
            tqArchive::checkVersion(version, "ptest::TestError");
            tqExceptionWithString::dispatchSerialize(ar);
        });
    }
    long errorNumber() const override { return 0x4242; }
    void suicideAndRethrow() override {
        TestError copy(*this);
        delete this;
        throw copy;
    }
    static tqPersistent* make() { return new TestError; }
};

tq_Instantiator chainExemplar(typeid(ChainNode), &ChainNode::make);
tq_Instantiator errorExemplar(typeid(TestError), &TestError::make);

class Stray : public tqPersistent, public tqRepBase {};  // unregistered

}  // namespace ptest

using ptest::ChainNode;
using ptest::TestError;
using tqtest::loadBytes;
using tqtest::storeBytes;

namespace {

// Byte builders for hand-made archives.
using tqtest::u8;
std::string u64(std::uint64_t v) { return tqtest::i64(static_cast<std::int64_t>(v)); }
std::string str(const std::string& s) { return u64(s.size()) + s; }
std::string hex(const std::string& bytes) {
    std::string out;
    for (unsigned char c : bytes)
        out += std::string(1, "0123456789abcdef"[c >> 4]) + "0123456789abcdef"[c & 15];
    return out;
}

const std::string kChain = "ptest::ChainNode";
// A ChainNode's contents with the given value and the bytes of its two pointers.
std::string nodeBody(long value, const std::string& next, const std::string& shared = u8(0)) {
    return u8(0) + u64(static_cast<std::uint64_t>(value)) + next + shared;
}

// Frees a graph of nodes one node at a time (freeing a long chain recursively would overflow
// the stack).
void destroyChain(tqPtrHandle<ChainNode>& head) {
    std::vector<tqPtrHandle<ChainNode>> pending{head};
    head.reset();
    while (!pending.empty()) {
        tqPtrHandle<ChainNode> node = pending.back();
        pending.pop_back();
        if (!node) continue;
        pending.push_back(node->next);
        pending.push_back(node->shared);
        node->next.reset();
        node->shared.reset();
    }
}

tqPtrHandle<ChainNode> makeChain(long length) {
    tqPtrHandle<ChainNode> head;
    for (long i = length - 1; i >= 0; --i) {
        tqPtrHandle<ChainNode> node(new ChainNode(i));
        node->next = head;
        head = node;
    }
    return head;
}

// A stream buffer over a string that cannot seek, so the archive cannot know its size.
class UnseekableBuf : public std::streambuf {
public:
    explicit UnseekableBuf(const std::string& s) : data_(s) {
        setg(&data_[0], &data_[0], &data_[0] + s.size());
    }

private:
    std::string data_;
};

}  // namespace

// ---------------------------------------------------------------- handles, exceptions, status

TEST(Handle, CountsStayExactUnderConcurrentCopies) {
    ChainNode::live = 0;
    tqPtrHandle_const<ChainNode> shared(new ChainNode(3));
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&shared] {
            for (int i = 0; i < 50000; ++i) tqPtrHandle_const<ChainNode> copy = shared, other = copy;
        });
    for (auto& t : threads) t.join();
    EXPECT_EQ(shared->refCount(), 1);
    shared.reset();
    EXPECT_EQ(ChainNode::live, 0);
}

TEST(Exception, MessagesRethrowAndStatusConversion) {
    EXPECT_EQ(tqAborted().message(), "Operation aborted on request");
    tqException* failure = new tqFailureStatus(0x80000B61L);
    EXPECT_THROW_MSG(failure->suicideAndRethrow(), tqFailureStatus, "Unhandled failure status 0x80000B61");
    tqException* malformed = new tqArchive::Malformed("m");
    EXPECT_THROW_MSG(malformed->suicideAndRethrow(), tqArchive::Malformed, "m");
    // The group is bits 5..15 of the status; bit 31 alone marks a failure.
    EXPECT_EQ(tfStatusGroup(0x8000FFFFL), 0x7FF);
    EXPECT_EQ(tfStatusGroup(0xFFFF0000L), 0);
    EXPECT_TRUE(tfIsFailure(-1L) && !tfIsFailure(0x7FFFFFFFL));
    tfRegisterExceptionConverter(112, [](long status) {  // 0xE00 >> 5 == 112
        if (status == 0x80000E01L) throw TestError("converted");
    });
    EXPECT_NO_THROW(tfThrowExceptionOnFailure(0x00000E01L));  // bit 31 clear: success
    EXPECT_THROW_MSG(tfThrowExceptionOnFailure(0x80000E01L), TestError, "converted");
    // The converter returns for this status, and a group without converter: both name the status.
    EXPECT_THROW_MSG(tfThrowExceptionOnFailure(0x80000E02L), tqFailureStatus,
                     "Unhandled failure status 0x80000E02");
    EXPECT_THROW_MSG(tfThrowExceptionOnFailure(0x80000FE0L), tqFailureStatus,
                     "Unhandled failure status 0x80000FE0");
}

TEST(Registry, QualifiedNamesInRegistrationOrder) {
    tq_Instantiator again(typeid(ChainNode), &ChainNode::make);  // a second exemplar changes nothing
    EXPECT_EQ(tfRegisteredTypeNames(), (std::vector<std::string>{kChain, "ptest::TestError"}));
    EXPECT_THROW_MSG(tfRegisteredTypeName(ptest::Stray()), tqExceptionWithString,
                     "class ptest::Stray is not registered for archiving");
}

// ---------------------------------------------------------------- archive: bytes and round trips

TEST(ArchiveBytes, PrimitivesAreFixedWidthLittleEndianSharedObjectsStoredOnceVectorsLoadInFull) {
    tqNMMatrix matrix(1, 2);
    matrix.element(0, 1) = 0.5;
    const std::pair<std::string, const char*> cases[] = {
        {storeBytes(0x0102030405060708UL), "0807060504030201"},
        {storeBytes(1.0), "000000000000f03f"},
        {storeBytes(static_cast<unsigned char>(0xAB)) + storeBytes(true), "ab01"},
        {storeBytes(std::vector<bool>{true, false, true}), "000300000000000000010001"},
        {storeBytes(std::vector<long>{1, -1}), "0002000000000000000100000000000000ffffffffffffffff"},
        {storeBytes(tqRange(-1.0, 2.0)), "00000000000000f0bf0000000000000040"},
        {storeBytes(matrix), "00010000000000000002000000000000000000000000000000000000000000e03f"},
    };
    for (const auto& [bytes, expected] : cases) EXPECT_EQ(hex(bytes), expected);
    // An error: its own version byte, then the message with no byte of the base classes.
    EXPECT_EQ(storeBytes(TestError("bad")), u8(0) + str("bad"));
    // A shared object is stored once (loading shares it again: see ArchiveIdentity).
    tqPtrHandle<ChainNode> root(new ChainNode(1));
    root->next.reset(new ChainNode(7));
    root->shared = root->next;
    // The second occurrence is a reference to object 1 (the root is object 0).
    EXPECT_EQ(storeBytes(root),
              u8(1) + str(kChain) + nodeBody(1, u8(1) + str(kChain) + nodeBody(7, u8(0)), u8(2) + u64(1)));
    // A growing vector reuses addresses of freed elements; a stale visited mark there must not
    // make a later element load as nothing.
    std::vector<ChainNode> nodes, loaded;
    for (long i = 0; i < 200; ++i) nodes.emplace_back(i);
    EXPECT_TRUE(tqtest::roundTrips(nodes, loaded));
}

// ---------------------------------------------------------------- archive: deep nesting

// A chain far deeper than the inline limit stores and loads without deep recursion.
TEST(ArchiveDeep, HundredThousandLevelsKeepEqualityAndIdentityAndDeferralStartsAtTheLimit) {
    ChainNode::live = 0;
    const long length = 100000;
    tqPtrHandle<ChainNode> head = makeChain(length), common(new ChainNode(-1));
    long i = 0;
    for (ChainNode* n = head.get(); n; n = n->next.get(), ++i)
        if (i % 1000 == 999) n->shared = common;
    tqPtrHandle<ChainNode> loaded;
    // The bytes fix every value and reference: a loaded copy of the shared node would be
    // stored in full again.
    EXPECT_TRUE(tqtest::roundTrips(head, loaded));
    destroyChain(head);
    destroyChain(loaded);
    common.reset();
    EXPECT_EQ(ChainNode::live, 0);
    // Deferral starts exactly at the limit.
    head = makeChain(tqArchive::kMaxInlineDepth + 1);
    std::string prefix, suffix;
    for (i = 0; i < tqArchive::kMaxInlineDepth; ++i) {
        prefix += u8(1) + str(kChain) + u8(0) + u64(static_cast<std::uint64_t>(i));
        suffix = u8(0) + suffix;  // each node's shared pointer, null
    }
    // The deepest node's contents come last.
    EXPECT_EQ(storeBytes(head),
              prefix + u8(3) + str(kChain) + suffix + nodeBody(tqArchive::kMaxInlineDepth, u8(0)));
}

// ---------------------------------------------------------------- archive: hostile input

namespace {
using Loader = void (*)(const std::string&);
template <class T>
void loadAs(const std::string& bytes) {
    T v{};
    loadBytes(bytes, v);
}
const Loader kLongs = &loadAs<std::vector<long>>, kMatrix = &loadAs<tqNMMatrix>,
             kChainLoad = &loadAs<tqPtrHandle<ChainNode>>;

std::string inlineNesting(long levels) {
    std::string bytes;
    for (long i = 0; i < levels; ++i) bytes += u8(1) + str(kChain) + u8(0) + u64(0);
    return bytes + std::string(static_cast<std::size_t>(levels + 1), '\0');
}
}  // namespace

TEST(ArchiveHostile, EveryMalformedInputIsRefusedWithAReason) {
    struct Row {
        Loader load;
        std::string bytes;
        std::string message;
    };
    const std::vector<Row> rows = {
        {&loadAs<bool>, u8(2), "a bool must be stored as 0 or 1, found 2"},
        {kLongs, u8(0) + u64(3) + u64(1) + u64(2), "count 3 needs at least 24 bytes, but only 16 are left"},
        {kLongs, u8(0) + u64(1ULL << 62),
         "count 4611686018427387904 needs more than 18446744073709551615 bytes, but only 0 are left"},
        {&loadAs<std::vector<bool>>, u8(0) + u64(2) + u8(1) + u8(9),
         "a bool must be stored as 0 or 1, found 9"},
        {kMatrix, u8(0) + u64(static_cast<std::uint64_t>(-1)) + u64(2), "matrix of -1 by 2"},
        {kMatrix, u8(0) + u64(1ULL << 32) + u64(1ULL << 32), "matrix of 4294967296 by 4294967296"},
        {kChainLoad, u8(7), "unknown pointer tag 7"},
        {kChainLoad, u8(1) + str("ptest::Nope") + u8(0), "unknown class name \"ptest::Nope\""},
        {kChainLoad, u8(2) + u64(0), "reference to object 0, but only 0 objects have been read"},
        {kChainLoad, u8(1) + str(kChain) + nodeBody(1, u8(2) + u64(0)),
         "reference to object 0 from object 0 makes a cycle"},
        {kChainLoad, u8(1) + str(kChain) + nodeBody(1, u8(3) + str(kChain)) + nodeBody(2, u8(2) + u64(0)),
         "reference to object 0 from object 1 makes a cycle"},
        {kChainLoad, u8(3) + str("ptest::TestError"),
         "deferred object of class \"ptest::TestError\" is not reference-counted"},
        {kChainLoad, inlineNesting(tqArchive::kMaxInlineDepth + 1), "objects nested deeper than 64 levels"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.message);
        EXPECT_THROW_MSG(row.load(row.bytes), tqArchive::Malformed, "malformed archive: " + row.message);
    }
    EXPECT_NO_THROW(kChainLoad(inlineNesting(tqArchive::kMaxInlineDepth)));  // exactly at the limit
    // A matrix of 2^62 rows and no columns holds no element; loading it once looped over
    // every row (found by fuzzing).
    tqNMMatrix wide;
    loadBytes(u8(0) + u64(std::uint64_t{1} << 62) + u64(0), wide);
    EXPECT_TRUE(wide.rows() == 1L << 62 && wide.cols() == 0 && wide.data().empty());
    // Unseekable input: the size is unknown, so counts cannot be checked up front; a huge count
    // must fail as soon as the input ends, without trying to allocate for it.
    auto loadUnseekable = [](const std::string& bytes, auto& into) {
        UnseekableBuf buf(bytes);
        std::istream in(&buf);
        tqArchive ar(in);
        ar || into;
    };
    std::string s;
    EXPECT_THROW_MSG(loadUnseekable(u64(1ULL << 60) + "abc", s), tqArchive::Malformed,
                     "malformed archive: input ends early: 65536 more bytes needed, 3 left");
    loadUnseekable(str("fine"), s);
    EXPECT_EQ(s, "fine");
}

TEST(ArchiveHostile, CycleCheckIsLinearAndEveryDagLoads) {
    // Two chains of deferred objects fed alternately; every object of the second refers to
    // the head of the first, whose reachable part grows each time, so a search per reference
    // would be quadratic (and was refused beyond a budget). It is no cycle and loads; the same
    // archive whose first chain's tail refers back to the second chain is refused, and its
    // objects, which hold each other, are still freed.
    const long length = 100000;
    const std::string head = u8(1) + str(kChain) + nodeBody(0, u8(3) + str(kChain), u8(3) + str(kChain));
    std::string bytes = head, cyclic;
    for (long k = 0; k < length; ++k) {
        const std::string next = k + 1 < length ? u8(3) + str(kChain) : u8(0);
        if (k + 1 == length) cyclic = bytes + nodeBody(k, next, u8(2) + u64(2)) + nodeBody(k, next, u8(2) + u64(1));
        bytes += nodeBody(k, next, u8(0)) + nodeBody(k, next, u8(2) + u64(1));
    }
    const long live = ChainNode::live;
    {
        tqPtrHandle<ChainNode> loaded;
        loadBytes(bytes, loaded);
        EXPECT_EQ(loaded->shared->shared, loaded->next);
        destroyChain(loaded);
    }
    EXPECT_THROW_MSG(kChainLoad(cyclic), tqArchive::Malformed,
                     "malformed archive: reference to object 1 from object " + std::to_string(2 * length) +
                         " makes a cycle");
    EXPECT_EQ(ChainNode::live, live);

}

// ---------------------------------------------------------------- random generators

// Reference values of SplitMix64-seeded xoshiro256** and of the Gaussian built on it
// (computed independently), fixed on every compiler.
TEST(Random, GeneratorsMatchTheReferenceSequencesAndStayInRange) {
    tqRandomUniform zero(0), fortyTwo(42), tight(1);
    EXPECT_EQ(zero.nextBits(), 0x99ec5f36cb75f2b4ULL);
    EXPECT_EQ(fortyTwo.next(0.0, 1.0), 0.08386297105988216);
    EXPECT_EQ(fortyTwo.next(0.0, 1.0), 0.3789802506626686);
    EXPECT_EQ(fortyTwo.next(-10.0, 10.0), 0x1.cce93ff642eep+1);  // one rounding per operation
    // b just above a, where a + (b - a) * u rounds up to b for u near 1.
    for (int i = 0; i < 1000; ++i) ASSERT_EQ(tight.next(1.0, std::nextafter(1.0, 2.0)), 1.0);
    // Draws 3 and 6 change if the arithmetic is fused.
    tqRandomGaussian g(1);
    for (double expected : {0x1.1899f21eb18bbp+3, 0x1.584abd879d0e2p+2, 0x1.e6aae4b19aabep+2,
                            0x1.2e5e9f8cc22c8p+0, 0x1.781ae655c967cp+2, 0x1.b52a0ab6bf3dcp+1,
                            0x1.d7bb905681382p+1, 0x1.28b22924e4a18p+2})
        ASSERT_EQ(g.next(5.0, 2.0), expected);
}

// ---- identity across one pass: by-value and by-handle mixes, objects that die mid-pass

namespace {

// Passes slots by value ("v<i>") or by handle ("h<i>") in the order the script gives.
void passSlots(tqArchive& ar, std::vector<tqPtrHandle<ChainNode>>& slots, const std::string& script) {
    std::istringstream ops(script);
    std::string op;
    while (ops >> op) {
        auto& slot = slots[std::stoul(op.substr(1))];
        if (op[0] == 'h') {
            ar || slot;
            continue;
        }
        if (!slot) slot.reset(new ChainNode);
        ar || *slot;
    }
}

std::string storeSlots(std::vector<tqPtrHandle<ChainNode>>& slots, const std::string& script) {
    std::ostringstream out;
    tqArchive ar(out);
    passSlots(ar, slots, script);
    return out.str();
}

}  // namespace

// Marks of passed levels once lasted the whole pass, so an object passed by value and then by
// handle (or twice by value) lost its second copy's bytes and the archive did not load.
TEST(ArchiveIdentity, MixesAndObjectsDroppedDuringThePassRoundTripByteIdentically) {
    for (const std::string script : {"v0 h0", "h0 v0", "v0 v0 h1 h0", "h2 v2 h0 v1", "v2 h0 h2 v1"}) {
        SCOPED_TRACE(script);
        std::vector<tqPtrHandle<ChainNode>> slots{tqPtrHandle<ChainNode>(new ChainNode(1)), {},
                                                  tqPtrHandle<ChainNode>(new ChainNode(3))};
        slots[0]->next.reset(new ChainNode(2));
        slots[1] = slots[0];
        slots[2]->shared = slots[0]->next;
        const std::string bytes = storeSlots(slots, script);
        std::vector<tqPtrHandle<ChainNode>> loaded(3);
        std::istringstream in(bytes);
        {
            tqArchive ar(in);
            passSlots(ar, loaded, script);
        }
        EXPECT_EQ(storeSlots(loaded, script), bytes);
    }
    // Objects dropped during one pass: a new one at a freed address was written as a reference
    // to the old one (by handle) or skipped as already passed (by value).
    std::ostringstream out;
    {
        tqArchive ar(out);
        for (long i = 1; i <= 3; ++i) {
            tqPtrHandle<ChainNode> h(new ChainNode(i));
            ChainNode v(10 * i);
            ar || h || v;
        }
    }
    std::string expected;  // every object in full, none a reference
    for (long i = 1; i <= 3; ++i) expected += u8(1) + str(kChain) + nodeBody(i, u8(0)) + nodeBody(10 * i, u8(0));
    EXPECT_EQ(out.str(), expected);
}
