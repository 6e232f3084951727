// Tests of the platform layer: handles, exceptions and status conversion, the type
// registry, the archive (exact bytes, identity, deep nesting, hostile input), random
// generators, the attention check.
#include "platform/platform.h"

#include <gtest/gtest.h>

#include <atomic>
#include <climits>
#include <cmath>
#include <cstring>
#include <limits>
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
    ChainNode() { ++live; }
    explicit ChainNode(long v) : value(v) { ++live; }
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

    long value = 0;
    tqPtrHandle<ChainNode> next;
    tqPtrHandle<ChainNode> shared;
    static std::atomic<long> live;
};
std::atomic<long> ChainNode::live{0};

// An uncounted persistent class: an error with a version byte of its own.
class TestError : public tqExceptionWithString {
public:
    explicit TestError(const std::string& m = "") : tqExceptionWithString(m) { ++live; }
    TestError(const TestError& o) : tqExceptionWithString(o) { ++live; }
    ~TestError() override { --live; }
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
    static std::atomic<long> live;
};
std::atomic<long> TestError::live{0};

// A counted class unrelated to ChainNode, for the wrong-type rule.
class OtherNode : public tqPersistent, public tqRepBase {
public:
    void dispatchSerialize(tqArchive& ar) override {
        serializeLevel_(ar, this, sizeof(*this), [&](unsigned char version) {
            tqArchive::checkVersion(version, "ptest::OtherNode");
            ar || label;
        });
    }
    static tqPersistent* make() { return new OtherNode; }
    std::string label;
};

tq_Instantiator chainExemplar(typeid(ChainNode), &ChainNode::make);
tq_Instantiator errorExemplar(typeid(TestError), &TestError::make);
tq_Instantiator otherExemplar(typeid(OtherNode), &OtherNode::make);

// Unregistered.
class Stray : public tqPersistent, public tqRepBase {};

}  // namespace ptest

using ptest::ChainNode;
using ptest::OtherNode;
using ptest::TestError;
using tqtest::loadBytes;
using tqtest::storeBytes;

namespace {

// Byte builders for hand-made archives.
std::string u8(unsigned v) { return std::string(1, static_cast<char>(v)); }
std::string u64(std::uint64_t v) {
    std::string s;
    for (int i = 0; i < 8; ++i) s += static_cast<char>((v >> (8 * i)) & 0xFF);
    return s;
}
std::string str(const std::string& s) { return u64(s.size()) + s; }
std::string hex(const std::string& bytes) {
    static const char* digits = "0123456789abcdef";
    std::string out;
    for (unsigned char c : bytes) {
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out;
}

const std::string kChain = "ptest::ChainNode";
// A ChainNode's contents with the given value and the bytes of its two pointers.
std::string nodeBody(long value, const std::string& next, const std::string& shared = u8(0)) {
    return u8(0) + u64(static_cast<std::uint64_t>(value)) + next + shared;
}

// Frees a chain one link at a time (a long chain would overflow the stack recursively).
void destroyChain(tqPtrHandle<ChainNode>& head) {
    while (head) {
        tqPtrHandle<ChainNode> next = head->next;
        head->next.reset();
        head = next;
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
        char* p = &data_[0];
        setg(p, p, p + data_.size());
    }

private:
    std::string data_;
};

}  // namespace

// ---------------------------------------------------------------- handles

TEST(Handle, CountsCopiesMovesAndDrops) {
    ChainNode::live = 0;
    {
        tqPtrHandle<ChainNode> a(new ChainNode(1));
        EXPECT_EQ(a->refCount(), 1);
        tqPtrHandle<ChainNode> b = a;
        EXPECT_EQ(a->refCount(), 2);
        tqPtrHandle<ChainNode> c = std::move(b);
        EXPECT_TRUE(b.isNull());
        EXPECT_EQ(a->refCount(), 2);
        EXPECT_TRUE(a == c);
        c.reset();
        EXPECT_EQ(a->refCount(), 1);
        tqPtrHandle<ChainNode>& alias = a;
        a = alias;  // self-assignment keeps the object
        EXPECT_EQ(a->refCount(), 1);
        EXPECT_EQ(ChainNode::live, 1);
    }
    EXPECT_EQ(ChainNode::live, 0);
}

TEST(Handle, ResetToAnObjectOwnedOnlyByTheOldOne) {
    ChainNode::live = 0;
    tqPtrHandle<ChainNode> head(new ChainNode(1));
    head->next.reset(new ChainNode(2));
    head = head->next;  // the old head dies, its next must survive the move
    EXPECT_EQ(head->value, 2);
    EXPECT_EQ(ChainNode::live, 1);
    head.reset(head.get());
    EXPECT_EQ(head->refCount(), 1);
}

TEST(Handle, ConvertsToBaseAndConst) {
    tqPtrHandle<ChainNode> node(new ChainNode(5));
    tqPtrHandle<tqRepBase> base = node;
    tqPtrHandle_const<ChainNode> constNode = node;
    tqPtrHandle_const<tqRepBase> constBase = constNode;
    EXPECT_EQ(node->refCount(), 4);
    EXPECT_TRUE(constBase == node);
    EXPECT_EQ(constNode->value, 5);
}

TEST(Handle, EmptyHandleThrowsBadPointerOnlyWhenFollowed) {
    tqPtrHandle<ChainNode> empty;
    tqPtrHandle_const<ChainNode> emptyConst;
    EXPECT_EQ(empty.get(), nullptr);
    EXPECT_FALSE(empty);
    EXPECT_THROW_MSG((void)empty->value, tqBadPointer, "Attempt to follow an empty handle");
    EXPECT_THROW_MSG((void)*emptyConst, tqBadPointer, "Attempt to follow an empty handle");
}

TEST(Handle, CountsStayExactUnderConcurrentCopies) {
    ChainNode::live = 0;
    tqPtrHandle_const<ChainNode> shared(new ChainNode(3));
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&shared] {
            for (int i = 0; i < 50000; ++i) {
                tqPtrHandle_const<ChainNode> copy = shared;
                tqPtrHandle_const<ChainNode> other = copy;
            }
        });
    for (auto& t : threads) t.join();
    EXPECT_EQ(shared->refCount(), 1);
    shared.reset();
    EXPECT_EQ(ChainNode::live, 0);
}

// ---------------------------------------------------------------- exceptions

TEST(Exception, MessagesAndNumbers) {
    tqExceptionWithString e("something broke");
    EXPECT_STREQ(e.what(), "something broke");
    EXPECT_EQ(e.message(true), "something broke");
    EXPECT_EQ(tqExceptionWithString().message(), "");
    EXPECT_EQ(tqAborted().message(), "Operation aborted on request");
    EXPECT_EQ(tqBadPointer().message(), "Attempt to follow an empty handle");
    EXPECT_EQ(TestError("x").errorNumber(), 0x4242);
    EXPECT_EQ(tfStr(-42), "-42");
    EXPECT_EQ(tfStr(LONG_MAX), "9223372036854775807");
}

TEST(Exception, SuicideAndRethrowThrowsTheOwnClassAndFreesTheObject) {
    TestError::live = 0;
    tqException* heap = new TestError("from the heap");
    EXPECT_THROW_MSG(heap->suicideAndRethrow(), TestError, "from the heap");
    EXPECT_EQ(TestError::live, 0);
    tqException* failure = new tqFailureStatus(0x80000B61L);
    EXPECT_THROW_MSG(failure->suicideAndRethrow(), tqFailureStatus, "Unhandled failure status 0x80000B61");
    tqException* bad = new tqBadPointer;
    EXPECT_THROW(bad->suicideAndRethrow(), tqBadPointer);
    tqException* malformed = new tqArchive::Malformed("m");
    EXPECT_THROW_MSG(malformed->suicideAndRethrow(), tqArchive::Malformed, "m");
}

TEST(StatusConversion, FailureBitAndGroup) {
    struct Row {
        long status;
        bool failure;
        long group;
    };
    const Row rows[] = {
        {0, false, 0},
        {0x00000B61L, false, 91},
        {0x80000B61L, true, 91},
        {0x80000B62L, true, 91},
        {kTqStatusAborted, true, 1},
        {0x8000FFFFL, true, 0x7FF},  // bits 16..30 are not part of the group
        {0xFFFF0000L, true, 0},
        {0x8000FFE0L, true, 0x7FF},
        {-1L, true, 0x7FF},
    };
    for (const Row& r : rows) {
        EXPECT_EQ(tfIsFailure(r.status), r.failure) << std::hex << r.status;
        EXPECT_EQ(tfStatusGroup(r.status), r.group) << std::hex << r.status;
    }
}

namespace {
void testConverter(long status) {
    if (status == 0x80000E01L) throw TestError("converted");
}
}  // namespace

TEST(StatusConversion, ConverterThrowsOrFallsBackToFailureStatus) {
    tfRegisterExceptionConverter(112, &testConverter);  // 0xE00 >> 5 == 112
    EXPECT_NO_THROW(tfThrowExceptionOnFailure(0));
    EXPECT_NO_THROW(tfThrowExceptionOnFailure(0x00000E01L));  // bit 31 clear: success
    EXPECT_THROW_MSG(tfThrowExceptionOnFailure(0x80000E01L), TestError, "converted");
    // The converter returns for this status, and a group without converter: both name the status.
    EXPECT_THROW_MSG(tfThrowExceptionOnFailure(0x80000E02L), tqFailureStatus,
                     "Unhandled failure status 0x80000E02");
    try {
        tfThrowExceptionOnFailure(0x80000FE0L);
        ADD_FAILURE() << "did not throw";
    } catch (const tqFailureStatus& e) {
        EXPECT_EQ(e.status(), 0x80000FE0L);
        EXPECT_STREQ(e.what(), "Unhandled failure status 0x80000FE0");
    }
}

TEST(Attention, AbortRequestTurnsTheCheckIntoTqAborted) {
    tfClearAbortRequest();
    EXPECT_EQ(tfAttentionCheck(), 0);
    EXPECT_NO_THROW(tfThrowExceptionOnFailure(tfAttentionCheck()));
    std::thread([] { tfRequestAbort(); }).join();
    EXPECT_EQ(tfAttentionCheck(), kTqStatusAborted);
    EXPECT_THROW_MSG(tfThrowExceptionOnFailure(tfAttentionCheck()), tqAborted,
                     "Operation aborted on request");
    EXPECT_EQ(tfAttentionCheck(), kTqStatusAborted);  // stays set until cleared
    tfClearAbortRequest();
    EXPECT_EQ(tfAttentionCheck(), 0);
}

TEST(Diagnostics, DestinationIsTheRequestedObject) {
    tqDiagObject diag;
    unsigned long flags = 0x55;
    EXPECT_EQ(tqDiagObject::getRecordingDestination(&diag, flags), &diag);
    EXPECT_EQ(tqDiagObject::getRecordingDestination(nullptr, flags), nullptr);
    EXPECT_EQ(flags, 0x55u);
}

// ---------------------------------------------------------------- registry

TEST(Registry, QualifiedNamesInRegistrationOrder) {
    // This program registers only its own three classes.
    EXPECT_EQ(tfRegisteredTypeNames(),
              (std::vector<std::string>{kChain, "ptest::TestError", "ptest::OtherNode"}));
    EXPECT_EQ(tfRegisteredTypeName(ChainNode()), kChain);
    // A second exemplar of a class changes nothing.
    tq_Instantiator again(typeid(ChainNode), &ChainNode::make);
    EXPECT_EQ(tfRegisteredTypeNames().size(), 3u);
    std::unique_ptr<tqPersistent> made(tfMakeRegistered("ptest::OtherNode"));
    EXPECT_NE(dynamic_cast<OtherNode*>(made.get()), nullptr);
    EXPECT_EQ(tfMakeRegistered("ptest::Nothing"), nullptr);
    EXPECT_THROW_MSG(tfRegisteredTypeName(ptest::Stray()), tqExceptionWithString,
                     "class ptest::Stray is not registered for archiving");
}

// ---------------------------------------------------------------- archive: bytes

TEST(ArchiveBytes, PrimitivesAreFixedWidthLittleEndian) {
    long negative = -2;
    unsigned long big = 0x0102030405060708UL;
    double one = 1.0;
    unsigned char byte = 0xAB;
    bool yes = true;
    std::string text("ab");
    std::vector<bool> bits{true, false, true};
    std::vector<long> longs{1, -1};
    tqRange range(-1.0, 2.0);
    tqNMMatrix matrix(1, 2);
    matrix.element(0, 1) = 0.5;
    EXPECT_EQ(hex(storeBytes(negative)), "feffffffffffffff");
    EXPECT_EQ(hex(storeBytes(big)), "0807060504030201");
    EXPECT_EQ(hex(storeBytes(one)), "000000000000f03f");
    EXPECT_EQ(hex(storeBytes(byte)), "ab");
    EXPECT_EQ(hex(storeBytes(yes)), "01");
    EXPECT_EQ(hex(storeBytes(text)), "02000000000000006162");
    EXPECT_EQ(hex(storeBytes(bits)),
              "00"
              "0300000000000000"
              "010001");
    EXPECT_EQ(hex(storeBytes(longs)),
              "00"
              "0200000000000000"
              "0100000000000000"
              "ffffffffffffffff");
    EXPECT_EQ(hex(storeBytes(range)),
              "00"
              "000000000000f0bf"
              "0000000000000040");
    EXPECT_EQ(hex(storeBytes(matrix)),
              "00"
              "0100000000000000"
              "0200000000000000"
              "0000000000000000"
              "000000000000e03f");
}

TEST(ArchiveBytes, PointersAndErrorObjects) {
    // A handle: tag 1, class name, the object's version byte and fields.
    tqPtrHandle<ChainNode> node(new ChainNode(9));
    EXPECT_EQ(storeBytes(node), u8(1) + str(kChain) + nodeBody(9, u8(0)));
    tqPtrHandle<ChainNode> empty;
    EXPECT_EQ(storeBytes(empty), u8(0));
    // An error: its own version byte, then the message with no byte of the base classes.
    TestError error("bad");
    EXPECT_EQ(storeBytes(error), u8(0) + str("bad"));
}

TEST(ArchiveBytes, VisitedLevelIsWrittenOncePerPass) {
    ChainNode node(4);
    std::ostringstream out;
    {
        tqArchive ar(out);
        ar || node;
        ar || node;  // same object, same pass: nothing more
    }
    EXPECT_EQ(out.str(), nodeBody(4, u8(0)));
    EXPECT_EQ(storeBytes(node), out.str());  // a new pass writes it again
}

// ---------------------------------------------------------------- archive: round trips

TEST(ArchiveRoundTrip, ValuesKeepEveryBit) {
    std::vector<long> longs{LONG_MIN, -1, 0, LONG_MAX};
    std::vector<unsigned long> ulongs{0, ULONG_MAX};
    std::vector<double> doubles{-0.0, std::numeric_limits<double>::infinity(),
                                std::numeric_limits<double>::denorm_min(),
                                std::numeric_limits<double>::quiet_NaN()};
    std::string text("with\0nul", 8);
    std::string big(100000, 'z');
    std::vector<bool> noBits;
    tqRange full = tqRange::FullRange();
    tqNMMatrix empty(0, 3);

    std::vector<long> longs2;
    std::vector<unsigned long> ulongs2;
    std::vector<double> doubles2;
    std::string text2, big2;
    std::vector<bool> noBits2{true};
    tqRange full2;
    tqNMMatrix empty2(1, 1);
    EXPECT_TRUE(tqtest::roundTrips(longs, longs2));
    EXPECT_EQ(longs, longs2);
    EXPECT_TRUE(tqtest::roundTrips(ulongs, ulongs2));
    EXPECT_EQ(ulongs, ulongs2);
    EXPECT_TRUE(tqtest::roundTrips(doubles, doubles2));  // identical bytes: NaN and -0.0 kept
    EXPECT_TRUE(std::signbit(doubles2[0]));
    EXPECT_TRUE(tqtest::roundTrips(text, text2));
    EXPECT_EQ(text2, text);
    EXPECT_TRUE(tqtest::roundTrips(big, big2));
    EXPECT_EQ(big2, big);
    EXPECT_TRUE(tqtest::roundTrips(noBits, noBits2));
    EXPECT_TRUE(noBits2.empty());
    EXPECT_TRUE(tqtest::roundTrips(full, full2));
    EXPECT_EQ(full2, full);
    EXPECT_TRUE(tqtest::roundTrips(empty, empty2));
    EXPECT_EQ(empty2, empty);
    EXPECT_EQ(empty2.cols(), 3);
}

TEST(ArchiveRoundTrip, SharedObjectIsStoredOnceAndLoadsShared) {
    tqPtrHandle<ChainNode> shared(new ChainNode(7));
    tqPtrHandle<ChainNode> root(new ChainNode(1));
    root->next = shared;
    root->shared = shared;
    const std::string bytes = storeBytes(root);
    // The second occurrence is a reference to object 1 (the root is object 0).
    EXPECT_EQ(bytes,
              u8(1) + str(kChain) + nodeBody(1, u8(1) + str(kChain) + nodeBody(7, u8(0)), u8(2) + u64(1)));
    tqPtrHandle<ChainNode> loaded;
    loadBytes(bytes, loaded);
    ASSERT_TRUE(loaded && loaded->next);
    EXPECT_EQ(loaded->next, loaded->shared);
    EXPECT_EQ(loaded->next->value, 7);
    EXPECT_EQ(loaded->next->refCount(), 2);  // the archive let go of it
}

TEST(ArchiveRoundTrip, HandlesInOnePassShareAcrossOperations) {
    tqPtrHandle<ChainNode> a(new ChainNode(1));
    tqPtrHandle<ChainNode> b = a;
    std::ostringstream out;
    {
        tqArchive ar(out);
        ar || a || b;
    }
    tqPtrHandle<ChainNode> a2, b2;
    std::istringstream in(out.str());
    {
        tqArchive ar(in);
        ar || a2 || b2;
    }
    EXPECT_EQ(a2, b2);
    EXPECT_EQ(a2->refCount(), 2);
}

// A growing vector reuses addresses of freed elements; a stale visited mark there must not
// make a later element load as nothing.
TEST(ArchiveRoundTrip, VectorOfPersistentValuesLoadsEveryElement) {
    std::vector<ChainNode> nodes;
    for (long i = 0; i < 200; ++i) nodes.emplace_back(i);
    std::vector<ChainNode> loaded;
    EXPECT_TRUE(tqtest::roundTrips(nodes, loaded));
    ASSERT_EQ(loaded.size(), nodes.size());
    for (long i = 0; i < 200; ++i) EXPECT_EQ(loaded[static_cast<std::size_t>(i)].value, i);
    // Storing the same vector twice in one pass writes it twice.
    std::ostringstream out;
    {
        tqArchive ar(out);
        ar || nodes || nodes;
    }
    EXPECT_EQ(out.str(), storeBytes(nodes) + storeBytes(nodes));
}

TEST(ArchiveRoundTrip, WrongTypeGivesAnEmptyHandle) {
    tqPtrHandle<OtherNode> other(new OtherNode);
    other->label = "other";
    ChainNode::live = 0;
    tqPtrHandle<ChainNode> target(new ChainNode(3));
    loadBytes(storeBytes(other), target);
    EXPECT_TRUE(target.isNull());
    EXPECT_EQ(ChainNode::live, 0);  // the old object was let go
    // An uncounted object cannot sit in a handle; it is freed, not leaked.
    TestError::live = 0;
    tqPersistent* error = new TestError("in a handle");
    std::ostringstream out;
    {
        tqArchive ar(out);
        tqPersistent* ignored = nullptr;
        ar.serializePointer(error, ignored);
    }
    delete error;
    tqPtrHandle<tqRepBase> rep;
    loadBytes(out.str(), rep);
    EXPECT_TRUE(rep.isNull());
    EXPECT_EQ(TestError::live, 0);
}

TEST(ArchiveRoundTrip, UncountedObjectIsHandedToTheCaller) {
    TestError::live = 0;
    TestError original("keep me");
    std::ostringstream out;
    {
        tqArchive ar(out);
        tqPersistent* ignored = nullptr;
        ar.serializePointer(&original, ignored);
        ar.serializePointer(&original, ignored);  // uncounted objects are written in full each time
    }
    EXPECT_EQ(out.str(), u8(1) + str("ptest::TestError") + u8(0) + str("keep me") + u8(1) +
                             str("ptest::TestError") + u8(0) + str("keep me"));
    std::istringstream in(out.str());
    tqPersistent* first = nullptr;
    tqPersistent* second = nullptr;
    {
        tqArchive ar(in);
        ar.serializePointer(nullptr, first);
        ar.serializePointer(nullptr, second);
    }
    std::unique_ptr<tqPersistent> own1(first), own2(second);  // still alive after the archive
    ASSERT_NE(dynamic_cast<TestError*>(first), nullptr);
    EXPECT_NE(first, second);
    EXPECT_STREQ(dynamic_cast<TestError*>(second)->what(), "keep me");
    EXPECT_THROW_MSG(dynamic_cast<tqException*>(own1.release())->suicideAndRethrow(), TestError, "keep me");
}

// A chain far deeper than the inline limit stores and loads without deep recursion.
TEST(ArchiveDeep, HundredThousandLevelsKeepEqualityAndIdentity) {
    ChainNode::live = 0;
    const long length = 100000;
    tqPtrHandle<ChainNode> head = makeChain(length);
    tqPtrHandle<ChainNode> common(new ChainNode(-1));
    {
        long i = 0;
        for (ChainNode* n = head.get(); n; n = n->next.get(), ++i)
            if (i % 1000 == 999) n->shared = common;
    }
    const std::string bytes = storeBytes(head);
    EXPECT_NE(bytes.find(u8(3) + str(kChain)), std::string::npos);

    tqPtrHandle<ChainNode> loaded;
    loadBytes(bytes, loaded);
    long i = 0;
    const ChainNode* sharedSeen = nullptr;
    for (const ChainNode* n = loaded.get(); n; n = n->next.get(), ++i) {
        ASSERT_EQ(n->value, i);
        if (i % 1000 == 999) {
            ASSERT_TRUE(n->shared);
            if (!sharedSeen) sharedSeen = n->shared.get();
            ASSERT_EQ(n->shared.get(), sharedSeen);
        } else {
            ASSERT_FALSE(n->shared);
        }
    }
    EXPECT_EQ(i, length);
    EXPECT_EQ(sharedSeen->value, -1);
    EXPECT_EQ(sharedSeen->refCount(), length / 1000);
    EXPECT_EQ(storeBytes(loaded), bytes);

    destroyChain(head);
    destroyChain(loaded);
    common.reset();
    EXPECT_EQ(ChainNode::live, 0);
}

TEST(ArchiveDeep, DeferralStartsExactlyAtTheLimit) {
    tqPtrHandle<ChainNode> head = makeChain(tqArchive::kMaxInlineDepth + 1);
    const std::string deferredTag = u8(3) + str(kChain);  // the deepest node's contents come last
    std::string prefix, suffix;
    for (long i = 0; i < tqArchive::kMaxInlineDepth; ++i) {
        prefix += u8(1) + str(kChain) + u8(0) + u64(static_cast<std::uint64_t>(i));
        suffix = u8(0) + suffix;  // each node's shared pointer, null
    }
    const std::string deferredContents = nodeBody(tqArchive::kMaxInlineDepth, u8(0));
    EXPECT_EQ(storeBytes(head), prefix + deferredTag + suffix + deferredContents);
    tqPtrHandle<ChainNode> loaded;
    loadBytes(storeBytes(head), loaded);
    EXPECT_EQ(storeBytes(loaded), storeBytes(head));
}

// ---------------------------------------------------------------- archive: hostile input

namespace {
enum class Target { Long, Bool, String, LongVector, BoolVector, Matrix, Chain };

// Loads `bytes` into a fresh value of the target kind.
void loadAs(Target target, const std::string& bytes) {
    switch (target) {
        case Target::Long: {
            long v = 0;
            loadBytes(bytes, v);
            break;
        }
        case Target::Bool: {
            bool v = false;
            loadBytes(bytes, v);
            break;
        }
        case Target::String: {
            std::string v;
            loadBytes(bytes, v);
            break;
        }
        case Target::LongVector: {
            std::vector<long> v;
            loadBytes(bytes, v);
            break;
        }
        case Target::BoolVector: {
            std::vector<bool> v;
            loadBytes(bytes, v);
            break;
        }
        case Target::Matrix: {
            tqNMMatrix v;
            loadBytes(bytes, v);
            break;
        }
        case Target::Chain: {
            tqPtrHandle<ChainNode> v;
            loadBytes(bytes, v);
            break;
        }
    }
}

std::string inlineNesting(long levels) {
    std::string bytes;
    for (long i = 0; i < levels; ++i) bytes += u8(1) + str(kChain) + u8(0) + u64(0);
    bytes += u8(0);
    for (long i = 0; i < levels; ++i) bytes += u8(0);
    return bytes;
}
}  // namespace

TEST(ArchiveHostile, EveryMalformedInputIsRefusedWithAReason) {
    struct Row {
        const char* what;
        Target target;
        std::string bytes;
        std::string message;
    };
    const std::string m = "malformed archive: ";
    const std::vector<Row> rows = {
        {"empty", Target::Long, "", m + "input ends early: 8 more bytes needed, 0 left"},
        {"short integer", Target::Long, "abc", m + "input ends early: 8 more bytes needed, 3 left"},
        {"bool byte 2", Target::Bool, u8(2), m + "a bool must be stored as 0 or 1, found 2"},
        {"string longer than input", Target::String, u64(1ULL << 40) + "abcdefghijkl",
         m + "count 1099511627776 needs at least 1099511627776 bytes, but only 12 are left"},
        {"string count overflows", Target::String, u64(UINT64_MAX),
         m + "count 18446744073709551615 needs at least "
             "18446744073709551615 bytes, but only 0 are left"},
        {"long vector count", Target::LongVector, u8(0) + u64(3) + u64(1) + u64(2),
         m + "count 3 needs at least 24 bytes, but only 16 are left"},
        {"vector count times size overflows", Target::LongVector, u8(0) + u64(1ULL << 62),
         m + "count 4611686018427387904 needs more than 18446744073709551615 bytes, but only 0 are left"},
        {"bool vector bad bit", Target::BoolVector, u8(0) + u64(2) + u8(1) + u8(9),
         m + "a bool must be stored as 0 or 1, found 9"},
        {"matrix negative", Target::Matrix, u8(0) + u64(static_cast<std::uint64_t>(-1)) + u64(2),
         m + "matrix of -1 by 2"},
        {"matrix too large", Target::Matrix, u8(0) + u64(1ULL << 32) + u64(1ULL << 32),
         m + "matrix of 4294967296 by 4294967296"},
        {"matrix short", Target::Matrix, u8(0) + u64(2) + u64(2) + u64(0),
         m + "count 4 needs at least 32 bytes, but only 8 are left"},
        {"unknown tag", Target::Chain, u8(7), m + "unknown pointer tag 7"},
        {"unknown class", Target::Chain, u8(1) + str("ptest::Nope") + u8(0),
         m + "unknown class name \"ptest::Nope\""},
        {"class name longer than input", Target::Chain, u8(1) + u64(1000) + "ptest",
         m + "count 1000 needs at least 1000 bytes, but only 5 are left"},
        {"reference before any object", Target::Chain, u8(2) + u64(0),
         m + "reference to object 0, but only 0 objects have been read"},
        {"reference past the end", Target::Chain, u8(1) + str(kChain) + nodeBody(1, u8(2) + u64(5)),
         m + "reference to object 5, but only 1 objects have been read"},
        {"object refers to itself", Target::Chain, u8(1) + str(kChain) + nodeBody(1, u8(2) + u64(0)),
         m + "reference to object 0 from object 0 makes a cycle"},
        {"cycle through a deferred object", Target::Chain,
         u8(1) + str(kChain) + nodeBody(1, u8(3) + str(kChain)) + nodeBody(2, u8(2) + u64(0)),
         m + "reference to object 0 from object 1 makes a cycle"},
        {"deferred uncounted object", Target::Chain, u8(3) + str("ptest::TestError"),
         m + "deferred object of class \"ptest::TestError\" is not reference-counted"},
        {"nested inline past the limit", Target::Chain, inlineNesting(tqArchive::kMaxInlineDepth + 1),
         m + "objects nested deeper than 64 levels"},
        {"truncated deferred contents", Target::Chain,
         u8(1) + str(kChain) + nodeBody(1, u8(3) + str(kChain)) + u8(0),
         m + "input ends early: 8 more bytes needed, 0 left"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        EXPECT_THROW_MSG(loadAs(row.target, row.bytes), tqArchive::Malformed, row.message);
    }
    // Exactly at the limit is fine.
    EXPECT_NO_THROW(loadAs(Target::Chain, inlineNesting(tqArchive::kMaxInlineDepth)));
}

TEST(ArchiveHostile, UnknownVersionsNameTheirPlace) {
    try {
        loadAs(Target::Chain, u8(1) + str(kChain) + u8(1));
        ADD_FAILURE() << "did not throw";
    } catch (const tqArchive::UnknownVersion& e) {
        EXPECT_STREQ(e.what(), "ptest::ChainNode");
        EXPECT_EQ(e.where(), "ptest::ChainNode");
        EXPECT_EQ(e.line(), 7);
    }
    EXPECT_THROW_MSG(loadAs(Target::LongVector, u8(2) + u64(0)), tqArchive::UnknownVersion,
                     "unknown archive version 2");
    EXPECT_THROW_MSG(loadAs(Target::Matrix, u8(1)), tqArchive::UnknownVersion, "tqNMMatrix");
    tqRange range;
    EXPECT_THROW_MSG(loadBytes(u8(5), range), tqArchive::UnknownVersion, "tqRange");
    EXPECT_STREQ(tqArchive::UnknownVersion().what(), "unknown archive version");
}

TEST(ArchiveHostile, EveryPrefixOfAValidArchiveIsRefusedCleanly) {
    ChainNode::live = 0;
    TestError::live = 0;
    tqPtrHandle<ChainNode> head = makeChain(tqArchive::kMaxInlineDepth + 3);
    head->shared = head->next->next;
    TestError error("message");
    std::ostringstream out;
    {
        tqArchive ar(out);
        tqPersistent* ignored = nullptr;
        ar || head;
        ar.serializePointer(&error, ignored);
    }
    const std::string bytes = out.str();
    for (std::size_t n = 0; n < bytes.size(); ++n) {
        std::istringstream in(bytes.substr(0, n));
        tqArchive ar(in);
        tqPtrHandle<ChainNode> loaded;
        tqPersistent* loadedError = nullptr;
        EXPECT_THROW(
            {
                ar || loaded;
                ar.serializePointer(nullptr, loadedError);
            },
            tqArchive::Malformed)
            << n;
        EXPECT_EQ(loadedError, nullptr);
    }
    destroyChain(head);
    EXPECT_EQ(ChainNode::live, 0);
    EXPECT_EQ(TestError::live, 1);  // the original only: nothing loaded leaked
}

TEST(ArchiveHostile, UnseekableInputGrowsOnlyWithWhatIsRead) {
    // The size is unknown here, so counts cannot be checked up front; a huge count must fail
    // as soon as the input ends, without trying to allocate for it.
    UnseekableBuf stringBuf(u64(1ULL << 60) + "abc");
    std::istream stringIn(&stringBuf);
    std::string s;
    EXPECT_THROW_MSG(
        {
            tqArchive ar(stringIn);
            ar || s;
        },
        tqArchive::Malformed, "malformed archive: input ends early: 65536 more bytes needed, 3 left");

    UnseekableBuf vectorBuf(u8(0) + u64(1ULL << 60) + u64(5));
    std::istream vectorIn(&vectorBuf);
    std::vector<double> v;
    EXPECT_THROW_MSG(
        {
            tqArchive ar(vectorIn);
            ar || v;
        },
        tqArchive::Malformed, "malformed archive: input ends early: 8 more bytes needed, 0 left");

    std::string fine("fine");
    UnseekableBuf goodBuf(storeBytes(fine));
    std::istream goodIn(&goodBuf);
    EXPECT_NO_THROW({
        tqArchive ar(goodIn);
        ar || s;
    });
    EXPECT_EQ(s, "fine");
}

TEST(ArchiveHostile, CycleSearchIsBounded) {
    // Two chains of deferred objects fed alternately; every object of the second refers to
    // the head of the first, whose reachable part grows each time. Nothing here is a cycle,
    // but checking costs grow quadratically, so loading stops at a fixed budget.
    const long length = 2000;
    std::string bytes = u8(1) + str(kChain) + nodeBody(0, u8(3) + str(kChain), u8(3) + str(kChain));
    for (long k = 0; k < length; ++k) {
        const std::string next = k + 1 < length ? u8(3) + str(kChain) : u8(0);
        bytes += nodeBody(k, next, u8(0));           // first chain
        bytes += nodeBody(k, next, u8(2) + u64(1));  // second chain: refers to the first's head
    }
    EXPECT_THROW_MSG(loadAs(Target::Chain, bytes), tqArchive::Malformed,
                     "malformed archive: object graph too entangled to check for cycles");
    // A short version of the same shape is fine.
    std::string small = u8(1) + str(kChain) + nodeBody(0, u8(3) + str(kChain), u8(3) + str(kChain));
    small += nodeBody(0, u8(0), u8(0)) + nodeBody(0, u8(0), u8(2) + u64(1));
    tqPtrHandle<ChainNode> loaded;
    loadBytes(small, loaded);
    EXPECT_EQ(loaded->shared->shared, loaded->next);
}

// ---------------------------------------------------------------- random generators

TEST(Random, UniformMatchesTheReferenceSequence) {
    // Reference values of SplitMix64-seeded xoshiro256** (computed independently).
    tqRandomUniform zero(0);
    EXPECT_EQ(zero.nextBits(), 0x99ec5f36cb75f2b4ULL);
    EXPECT_EQ(zero.nextBits(), 0xbf6e1f784956452aULL);
    tqRandomUniform fortyTwo(42);
    EXPECT_EQ(fortyTwo.next(0.0, 1.0), 0.08386297105988216);
    EXPECT_EQ(fortyTwo.next(0.0, 1.0), 0.3789802506626686);
    EXPECT_EQ(fortyTwo.next(-10.0, 10.0), -10.0 + 20.0 * 0.6800434110281394);
}

TEST(Random, UniformStaysInHalfOpenInterval) {
    tqRandomUniform r(7);
    double sum = 0.0;
    for (int i = 0; i < 100000; ++i) {
        const double x = r.next(2.0, 3.0);
        ASSERT_GE(x, 2.0);
        ASSERT_LT(x, 3.0);
        sum += x;
    }
    EXPECT_NEAR(sum / 100000, 2.5, 0.01);
    // b just above a, where a + (b - a) * u rounds up to b for u near 1.
    tqRandomUniform tight(1);
    const double a = 1.0, b = std::nextafter(1.0, 2.0);
    for (int i = 0; i < 1000; ++i) ASSERT_EQ(tight.next(a, b), a);
}

TEST(Random, GaussianIsDeterministicWithTheRightMoments) {
    tqRandomGaussian a(123), b(123);
    for (int i = 0; i < 10; ++i) ASSERT_EQ(a.next(0.0, 1.0), b.next(0.0, 1.0));
    tqRandomGaussian g(2024);
    const int n = 200000;
    double sum = 0.0, sumSq = 0.0;
    for (int i = 0; i < n; ++i) {
        const double x = g.next(5.0, 2.0);
        ASSERT_TRUE(std::isfinite(x));
        sum += x;
        sumSq += x * x;
    }
    const double mean = sum / n;
    EXPECT_NEAR(mean, 5.0, 0.02);
    EXPECT_NEAR(sumSq / n - mean * mean, 4.0, 0.05);
}
