// The archive: a binary stream of fixed-width little-endian values (the same bytes on
// every platform) through which persistent objects and values are stored and loaded.
// The byte layout is described in docs/archive-format.md.
#ifndef TQ_PLATFORM_ARCHIVE_H
#define TQ_PLATFORM_ARCHIVE_H

#include <cstddef>
#include <cstdint>
#include <iosfwd>
#include <map>
#include <memory>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "platform/exception.h"
#include "platform/handle.h"
#include "platform/persistent.h"

class tqRange;
class tqNMMatrix;

// One archive object is one pass over a stream, either storing or loading. `ar || x`
// writes x when storing and overwrites x when loading, so that one function serves both.
// An object reached twice through handles in one pass is written once and loads as one
// shared object.
//
// Loading treats its input as hostile: every failure (truncated input, an unknown class,
// a bad back-reference, a count the rest of the input cannot hold, nesting too deep)
// throws a tqException whose message says what was wrong.
class tqArchive {
public:
    // A version byte this code does not know. `where` names the class or source, `line` a line.
    class UnknownVersion : public tqExceptionWithString {
    public:
        // The message is `where` ("unknown archive version" when `where` is empty).
        explicit UnknownVersion(const std::string& where = "", long line = 0);
        // The same, with a message of its own.
        UnknownVersion(const std::string& where, long line, const std::string& message);
        const std::string& where() const { return where_; }
        long line() const { return line_; }
        void suicideAndRethrow() override;

    private:
        std::string where_;
        long line_;
    };

    // Input that is not a well-formed archive.
    class Malformed : public tqExceptionWithString {
    public:
        explicit Malformed(const std::string& message);
        void suicideAndRethrow() override;
    };

    // Objects nested inline (one pointer inside the contents of another) deeper than this are
    // refused when loading; a storing archive never nests deeper: it writes a deeper object's
    // contents after the outermost pointer operation (see docs/archive-format.md).
    static constexpr long kMaxInlineDepth = 64;

    explicit tqArchive(std::ostream& out);
    explicit tqArchive(std::istream& in);
    ~tqArchive();
    tqArchive(const tqArchive&) = delete;
    tqArchive& operator=(const tqArchive&) = delete;

    bool isStoring() const { return out_ != nullptr; }
    bool isLoading() const { return in_ != nullptr; }

    // Primitive exchange; the free operators below are the interface callers use.
    void exchange(std::int64_t& v);
    void exchange(std::uint64_t& v);
    void exchange(double& v);
    void exchange(unsigned char& v);
    void exchange(bool& v);
    void exchange(std::string& v);

    // Exchanges a container's element count. When loading, refuses a count whose elements,
    // at minElementBytes each, could not fit in the rest of the input.
    std::uint64_t exchangeCount(std::uint64_t count, std::size_t minElementBytes);
    // When loading, throws Malformed unless `count` elements of at least minElementBytes each
    // could fit in the rest of the input (always passes when the input's size is unknown).
    void checkAvailable(std::uint64_t count, std::size_t minElementBytes) const;

    // Throws UnknownVersion(where, line) unless version is 0.
    static void checkVersion(unsigned char version, const std::string& where = "", long line = 0);

    // One class level (its address and size) being passed. A level reached twice while one
    // object is passed (a base shared through the hierarchy) is passed once; the marks last
    // only while that object's outermost level is open, so that the object passed again later
    // in the pass, or another object at a reused address, is passed in full.
    class LevelScope {
    public:
        LevelScope(tqArchive& ar, const void* level, std::size_t size);
        ~LevelScope();
        LevelScope(const LevelScope&) = delete;
        LevelScope& operator=(const LevelScope&) = delete;
        bool visited() const;
        void markVisited();

    private:
        tqArchive& ar_;
        std::pair<const void*, std::size_t> level_;
        bool opened_;
    };

    // Pointer serialization; see tqPersistent::serializePointer.
    void serializePointer(tqPersistent* current, tqPersistent*& result);

private:
    // Loading state of an object passed by pointer, for refusing cycles.
    enum class LoadState : unsigned char { InProgress, Pending, Done };
    // An object whose contents wait for the end of the outermost pointer operation.
    struct PendingObject {
        tqPersistent* object;
        std::uint64_t index;  // loading only: its index among the loaded objects
    };
    class DepthGuard;

    void storePointer_(tqPersistent* current);
    void indexStored_(tqPersistent* current);
    tqPersistent* loadPointer_();
    tqPersistent* loadBackReference_();
    tqPersistent* loadNewObject_(bool deferred);
    tqPersistent* makeObject_(const std::string& className);
    void checkNoCycle_(std::uint64_t target);
    [[noreturn]] static void throwCycle_(std::uint64_t target, std::uint64_t source);
    void checkOperationAcyclic_();
    void unlinkOperation_();
    void recordEdge_(std::uint64_t target);
    void drainDeferred_();
    void endPointerOperation_();
    void read_(void* data, std::size_t size);
    void write_(const void* data, std::size_t size);

    std::ostream* out_ = nullptr;
    std::istream* in_ = nullptr;
    // Bytes left in a loading stream whose size is known; -1 when unknown.
    long long remaining_ = -1;
    // Objects being passed, innermost last: the bytes they occupy and their levels passed so far.
    struct LevelFrame {
        const char* begin;
        const char* end;
        std::vector<std::pair<const void*, std::size_t>> passed;
    };
    std::vector<LevelFrame> levelFrames_;
    // Storing: the index of every counted object passed by pointer in this pass.
    std::map<const tqPersistent*, std::uint64_t> storedIndex_;
    std::uint64_t nextIndex_ = 0;
    // Loading: counted objects by index, their state, and (within one outermost pointer
    // operation) the indices each one refers to.
    std::vector<tqPersistent*> loaded_;
    std::vector<LoadState> loadState_;
    std::vector<std::vector<std::uint64_t>> refersTo_;
    // Keeps counted objects passed by pointer alive for the pass: loaded ones for the caller,
    // stored ones so that no other object can take an address the pass has indexed.
    std::vector<tqPtrHandle<tqRepBase>> keepAlive_;
    // Loading: the index of the counted object whose contents are being read (-1: none).
    std::vector<long long> currentObject_;
    std::vector<PendingObject> deferred_;
    long depth_ = 0;
    bool inPointerOperation_ = false;
    bool deferredInOperation_ = false;
    std::uint64_t operationFirstIndex_ = 0;
};

// Values: integers are 8 bytes, doubles IEEE-754 binary64, both little-endian.
tqArchive& operator||(tqArchive& ar, long& v);
tqArchive& operator||(tqArchive& ar, unsigned long& v);
tqArchive& operator||(tqArchive& ar, double& v);
tqArchive& operator||(tqArchive& ar, unsigned char& v);
tqArchive& operator||(tqArchive& ar, bool& v);
tqArchive& operator||(tqArchive& ar, std::string& v);
tqArchive& operator||(tqArchive& ar, std::vector<bool>& v);
tqArchive& operator||(tqArchive& ar, tqRange& v);
tqArchive& operator||(tqArchive& ar, tqNMMatrix& v);
// A persistent object by value: its own dispatchSerialize.
tqArchive& operator||(tqArchive& ar, tqPersistent& object);

// The smallest number of bytes one element of T can take in an archive; bounds the
// counts a loading archive accepts.
template <class T>
struct tq_ArchiveMinBytes {
    static constexpr std::size_t value = 1;
};
template <>
struct tq_ArchiveMinBytes<long> {
    static constexpr std::size_t value = 8;
};
template <>
struct tq_ArchiveMinBytes<unsigned long> {
    static constexpr std::size_t value = 8;
};
template <>
struct tq_ArchiveMinBytes<double> {
    static constexpr std::size_t value = 8;
};

// Any other vector: version byte 0, the count, then the elements.
template <class T>
tqArchive& operator||(tqArchive& ar, std::vector<T>& v) {
    unsigned char version = 0;
    ar || version;
    tqArchive::checkVersion(version);
    const std::uint64_t count = ar.exchangeCount(v.size(), tq_ArchiveMinBytes<T>::value);
    if (ar.isStoring()) {
        for (auto& element : v) {
            ar || element;
        }
        return ar;
    }
    // Grows element by element, so that memory follows the input actually read.
    std::vector<T> loaded;
    for (std::uint64_t i = 0; i < count; ++i) {
        loaded.emplace_back();
        ar || loaded.back();
    }
    v.swap(loaded);
    return ar;
}

namespace tq_archive_detail {
[[noreturn]] void throwNotPersistent();

// The persistent object behind a handle's pointer; a handle of a type that is not itself
// persistent (tqPtrHandle<tqRepBase>) is cast across, and must hold a persistent object.
template <class T>
tqPersistent* asPersistent(T* p) {
    if constexpr (std::is_base_of<tqPersistent, std::remove_cv_t<T>>::value) {
        return const_cast<tqPersistent*>(static_cast<const tqPersistent*>(p));
    } else {
        auto* persistent = dynamic_cast<const tqPersistent*>(p);
        if (!persistent) throwNotPersistent();
        return const_cast<tqPersistent*>(persistent);
    }
}
}  // namespace tq_archive_detail

namespace tq_archive_detail {
// A loaded object that no handle can hold: the archive keeps counted ones alive for the
// pass; an uncounted one belongs to the caller, so it is deleted here.
inline void discardUnheld(tqPersistent* p) {
    if (p && !dynamic_cast<tqRepBase*>(p)) delete p;
}
}  // namespace tq_archive_detail

// A counted handle, polymorphically through the type registry; null allowed. On loading the
// handle first lets go of its object; an object of a type the handle cannot hold leaves it empty.
template <class T>
tqArchive& operator||(tqArchive& ar, tqPtrHandle<T>& h) {
    tqPersistent* result = nullptr;
    ar.serializePointer(h ? tq_archive_detail::asPersistent(h.get()) : nullptr, result);
    if (ar.isLoading()) {
        T* typed = dynamic_cast<T*>(result);
        if (!typed) tq_archive_detail::discardUnheld(result);
        h.reset();
        h.reset(typed);
    }
    return ar;
}

template <class T>
tqArchive& operator||(tqArchive& ar, tqPtrHandle_const<T>& h) {
    tqPersistent* result = nullptr;
    ar.serializePointer(h ? tq_archive_detail::asPersistent(h.get()) : nullptr, result);
    if (ar.isLoading()) {
        const T* typed = dynamic_cast<const T*>(result);
        if (!typed) tq_archive_detail::discardUnheld(result);
        h.reset();
        h.reset(typed);
    }
    return ar;
}

template <class Serialize>
void tqPersistent::serializeLevel_(tqArchive& ar, const void* level, std::size_t size,
                                   Serialize&& serialize) {
    tqArchive::LevelScope scope(ar, level, size);
    if (scope.visited()) return;
    unsigned char version = 0;
    ar || version;
    serialize(version);
    scope.markVisited();
}

#endif
