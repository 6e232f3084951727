// The archive stream. The byte layout is documented in docs/archive-format.md; this file
// is its only reader and writer of bytes.
#include "platform/archive.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <istream>
#include <ostream>
#include <sstream>

#include "platform/values.h"

namespace {

// Pointer tags (one byte before every pointer).
constexpr unsigned char kTagNull = 0;
constexpr unsigned char kTagObject = 1;     // class name, then the contents inline
constexpr unsigned char kTagReference = 2;  // index of an object passed earlier in the pass
constexpr unsigned char kTagDeferred = 3;   // class name; contents after the outermost pointer

// Strings are read in pieces of this size, so that memory follows the bytes actually read
// even when the input's size is unknown.
constexpr std::size_t kReadChunk = 64 * 1024;

[[noreturn]] void malformed(const std::string& what) {
    throw tqArchive::Malformed("malformed archive: " + what);
}

}  // namespace

// ---- exceptions

tqArchive::UnknownVersion::UnknownVersion(const std::string& where, long line)
    : UnknownVersion(where, line, where.empty() ? std::string("unknown archive version") : where) {}

tqArchive::UnknownVersion::UnknownVersion(const std::string& where, long line, const std::string& message)
    : tqExceptionWithString(message), where_(where), line_(line) {}

void tqArchive::UnknownVersion::suicideAndRethrow() {
    UnknownVersion copy(*this);
    delete this;
    throw copy;
}

tqArchive::Malformed::Malformed(const std::string& message) : tqExceptionWithString(message) {}

void tqArchive::Malformed::suicideAndRethrow() {
    Malformed copy(*this);
    delete this;
    throw copy;
}

// Restores the inline depth (and the current object) when an object's contents are done,
// also when they throw.
class tqArchive::DepthGuard {
public:
    DepthGuard(tqArchive& ar, long long current) : ar_(ar) {
        ++ar_.depth_;
        if (ar_.isLoading()) ar_.currentObject_.push_back(current);
    }
    ~DepthGuard() {
        --ar_.depth_;
        if (ar_.isLoading()) ar_.currentObject_.pop_back();
    }
    DepthGuard(const DepthGuard&) = delete;
    DepthGuard& operator=(const DepthGuard&) = delete;

private:
    tqArchive& ar_;
};

void tq_archive_detail::throwNotPersistent() {
    throw tqExceptionWithString("archive: the object in a handle is not persistent");
}

// ---- construction

tqArchive::tqArchive(std::ostream& out) : out_(&out) {}

tqArchive::tqArchive(std::istream& in) : in_(&in) {
    // Measure the rest of the input when the stream can seek, so that counts can be checked
    // against it; a stream that cannot (a pipe) is read element by element instead.
    const std::ios_base::iostate state = in.rdstate();
    if (!in.good()) return;
    const std::istream::pos_type start = in.tellg();
    if (start == std::istream::pos_type(-1)) {
        in.clear(state);
        return;
    }
    in.seekg(0, std::ios_base::end);
    const std::istream::pos_type end = in.tellg();
    if (in && end != std::istream::pos_type(-1) && end >= start)
        remaining_ = static_cast<long long>(end - start);
    in.clear(state);
    in.seekg(start);
    if (!in) {
        in.clear(state);
        remaining_ = -1;
    }
}

tqArchive::~tqArchive() {
    // Let go of loaded objects in the order they were read: a parent is released before its
    // children, so that a long chain is freed one link at a time instead of recursively.
    for (auto& h : keepAlive_) h.reset();
}

// ---- bytes

void tqArchive::read_(void* data, std::size_t size) {
    if (size == 0) return;
    if (remaining_ >= 0 && static_cast<unsigned long long>(remaining_) < size)
        malformed("input ends early: " + std::to_string(size) + " more bytes needed, " +
                  std::to_string(remaining_) + " left");
    in_->read(static_cast<char*>(data), static_cast<std::streamsize>(size));
    const std::streamsize got = in_->gcount();
    if (static_cast<std::size_t>(got) != size)
        malformed("input ends early: " + std::to_string(size) + " more bytes needed, " + std::to_string(got) +
                  " left");
    if (remaining_ >= 0) remaining_ -= static_cast<long long>(size);
}

void tqArchive::write_(const void* data, std::size_t size) {
    out_->write(static_cast<const char*>(data), static_cast<std::streamsize>(size));
    if (!*out_) throw tqExceptionWithString("archive: writing to the stream failed");
}

// ---- primitives

void tqArchive::exchange(std::uint64_t& v) {
    unsigned char bytes[8];
    if (isStoring()) {
        for (int i = 0; i < 8; ++i) bytes[i] = static_cast<unsigned char>(v >> (8 * i));
        write_(bytes, 8);
        return;
    }
    read_(bytes, 8);
    std::uint64_t x = 0;
    for (int i = 0; i < 8; ++i) x |= static_cast<std::uint64_t>(bytes[i]) << (8 * i);
    v = x;
}

void tqArchive::exchange(std::int64_t& v) {
    // Two's complement: the bit pattern of the signed value, little-endian.
    std::uint64_t bits = static_cast<std::uint64_t>(v);
    exchange(bits);
    if (isLoading()) v = static_cast<std::int64_t>(bits);
}

void tqArchive::exchange(double& v) {
    static_assert(sizeof(double) == 8, "archives hold IEEE-754 binary64 doubles");
    std::uint64_t bits = 0;
    std::memcpy(&bits, &v, 8);
    exchange(bits);
    if (isLoading()) std::memcpy(&v, &bits, 8);
}

void tqArchive::exchange(unsigned char& v) {
    if (isStoring())
        write_(&v, 1);
    else
        read_(&v, 1);
}

void tqArchive::exchange(bool& v) {
    unsigned char byte = v ? 1 : 0;
    exchange(byte);
    if (isLoading()) {
        if (byte > 1) malformed("a bool must be stored as 0 or 1, found " + std::to_string(byte));
        v = byte == 1;
    }
}

void tqArchive::exchange(std::string& v) {
    const std::uint64_t count = exchangeCount(v.size(), 1);
    if (isStoring()) {
        write_(v.data(), v.size());
        return;
    }
    std::string loaded;
    while (loaded.size() < count) {
        const std::size_t old = loaded.size();
        const std::size_t piece = static_cast<std::size_t>(std::min<std::uint64_t>(count - old, kReadChunk));
        loaded.resize(old + piece);
        read_(&loaded[old], piece);
    }
    v.swap(loaded);
}

void tqArchive::checkAvailable(std::uint64_t count, std::size_t minElementBytes) const {
    if (!isLoading() || remaining_ < 0 || minElementBytes == 0) return;
    const auto left = static_cast<std::uint64_t>(remaining_);
    if (count > left / minElementBytes)
        malformed("count " + std::to_string(count) + " needs " +
                  (count > UINT64_MAX / minElementBytes
                       ? "more than " + std::to_string(UINT64_MAX)
                       : "at least " + std::to_string(count * minElementBytes)) +
                  " bytes, but only " + std::to_string(left) + " are left");
}

std::uint64_t tqArchive::exchangeCount(std::uint64_t count, std::size_t minElementBytes) {
    exchange(count);
    checkAvailable(count, minElementBytes);
    return count;
}

void tqArchive::checkVersion(unsigned char version, const std::string& where, long line) {
    if (version == 0) return;
    if (where.empty())
        throw UnknownVersion(where, line, "unknown archive version " + std::to_string(version));
    throw UnknownVersion(where, line);
}

// ---- pointers

void tqArchive::serializePointer(tqPersistent* current, tqPersistent*& result) {
    const bool outermost = !inPointerOperation_;
    if (outermost) {
        inPointerOperation_ = true;
        deferredInOperation_ = false;
        operationFirstIndex_ = loaded_.size();
    }
    struct EndOperation {
        tqArchive& ar;
        bool outermost;
        ~EndOperation() {
            if (outermost) ar.endPointerOperation_();
        }
    } end{*this, outermost};

    if (isStoring()) {
        storePointer_(current);
        result = current;
        if (outermost) drainDeferred_();
        return;
    }
    tqPersistent* loaded = nullptr;
    try {
        loaded = loadPointer_();
        if (outermost) {
            drainDeferred_();
            if (deferredInOperation_) checkOperationAcyclic_();
        }
    } catch (...) {
        if (outermost) {
            // Counted objects die with the archive; an uncounted one was never handed out.
            tq_archive_detail::discardUnheld(loaded);
            if (deferredInOperation_) unlinkOperation_();
        }
        throw;
    }
    result = loaded;
}

void tqArchive::endPointerOperation_() {
    inPointerOperation_ = false;
    deferred_.clear();
    // Objects of finished operations are complete (nothing of theirs is pending), so their
    // references can no longer close a cycle; only the current operation's are kept.
    for (std::size_t i = static_cast<std::size_t>(operationFirstIndex_); i < refersTo_.size(); ++i)
        std::vector<std::uint64_t>().swap(refersTo_[i]);
}

void tqArchive::storePointer_(tqPersistent* current) {
    unsigned char tag = kTagNull;
    if (!current) {
        exchange(tag);
        return;
    }
    const bool counted = dynamic_cast<tqRepBase*>(current) != nullptr;
    if (counted) {
        const auto found = storedIndex_.find(current);
        if (found != storedIndex_.end()) {
            tag = kTagReference;
            std::uint64_t index = found->second;
            exchange(tag);
            exchange(index);
            return;
        }
    }
    std::string name = tfRegisteredTypeName(*current);
    if (depth_ >= kMaxInlineDepth) {
        if (!counted)
            throw tqExceptionWithString("archive: object of class " + name + " nested deeper than " +
                                        std::to_string(kMaxInlineDepth) + " levels is not reference-counted");
        tag = kTagDeferred;
        exchange(tag);
        exchange(name);
        indexStored_(current);
        deferred_.push_back({current, 0});
        return;
    }
    tag = kTagObject;
    exchange(tag);
    exchange(name);
    if (counted) indexStored_(current);
    DepthGuard guard(*this, -1);
    current->dispatchSerialize(*this);
}

// Indexes a counted object and holds it for the pass: while it is held, no new object can
// take its address and be written as a reference to it.
void tqArchive::indexStored_(tqPersistent* current) {
    storedIndex_.emplace(current, nextIndex_++);
    auto* rep = dynamic_cast<tqRepBase*>(current);
    // An object no handle counts is not the archive's to hold: its owner keeps it alive.
    if (rep->refCount() > 0) keepAlive_.emplace_back(rep);
}

tqPersistent* tqArchive::loadPointer_() {
    unsigned char tag = 0;
    exchange(tag);
    switch (tag) {
        case kTagNull:
            return nullptr;
        case kTagReference:
            return loadBackReference_();
        case kTagObject:
            return loadNewObject_(false);
        case kTagDeferred:
            return loadNewObject_(true);
        default:
            malformed("unknown pointer tag " + std::to_string(tag));
    }
}

tqPersistent* tqArchive::loadBackReference_() {
    std::uint64_t index = 0;
    exchange(index);
    if (index >= loaded_.size())
        malformed("reference to object " + std::to_string(index) + ", but only " +
                  std::to_string(loaded_.size()) + " objects have been read");
    checkNoCycle_(index);
    recordEdge_(index);
    return loaded_[static_cast<std::size_t>(index)];
}

tqPersistent* tqArchive::makeObject_(const std::string& className) {
    tqPersistent* object = tfMakeRegistered(className);
    if (!object) malformed("unknown class name \"" + className + "\"");
    return object;
}

// A level outside the bytes of the object being passed starts a new object: a member passed
// by value lies inside its owner and shares its marks, anything reached by pointer or held
// elsewhere (vector elements, locals) lies outside.
tqArchive::LevelScope::LevelScope(tqArchive& ar, const void* level, std::size_t size)
    : ar_(ar), level_(level, size), opened_(false) {
    const char* begin = static_cast<const char*>(level);
    auto& frames = ar_.levelFrames_;
    if (!frames.empty() && frames.back().begin <= begin && begin + size <= frames.back().end) return;
    frames.push_back({begin, begin + size, {}});
    opened_ = true;
}

tqArchive::LevelScope::~LevelScope() {
    if (opened_) ar_.levelFrames_.pop_back();
}

bool tqArchive::LevelScope::visited() const {
    const auto& passed = ar_.levelFrames_.back().passed;
    return std::find(passed.begin(), passed.end(), level_) != passed.end();
}

void tqArchive::LevelScope::markVisited() { ar_.levelFrames_.back().passed.push_back(level_); }

tqPersistent* tqArchive::loadNewObject_(bool deferred) {
    std::string name;
    exchange(name);
    if (!deferred && depth_ >= kMaxInlineDepth)
        malformed("objects nested deeper than " + std::to_string(kMaxInlineDepth) + " levels");
    tqPersistent* object = makeObject_(name);
    tqRepBase* rep = dynamic_cast<tqRepBase*>(object);
    if (!rep) {
        // Uncounted: never referred to again, owned by whoever receives it.
        std::unique_ptr<tqPersistent> owner(object);
        if (deferred) malformed("deferred object of class \"" + name + "\" is not reference-counted");
        DepthGuard guard(*this, currentObject_.empty() ? -1 : currentObject_.back());
        object->dispatchSerialize(*this);
        return owner.release();
    }
    keepAlive_.emplace_back(rep);
    const std::uint64_t index = loaded_.size();
    recordEdge_(index);
    loaded_.push_back(object);
    loadState_.push_back(deferred ? LoadState::Pending : LoadState::InProgress);
    refersTo_.emplace_back();
    if (deferred) {
        deferredInOperation_ = true;
        deferred_.push_back({object, index});
        return object;
    }
    {
        DepthGuard guard(*this, static_cast<long long>(index));
        object->dispatchSerialize(*this);
    }
    loadState_[static_cast<std::size_t>(index)] = LoadState::Done;
    return object;
}

void tqArchive::recordEdge_(std::uint64_t target) {
    if (currentObject_.empty() || currentObject_.back() < 0) return;
    const auto source = static_cast<std::uint64_t>(currentObject_.back());
    if (source < operationFirstIndex_) return;
    refersTo_[static_cast<std::size_t>(source)].push_back(target);
}

// A reference from the object being read to an object whose contents are still being read
// (an ancestor) closes a cycle. Cycles through deferred objects are found once the outermost
// operation has read everything (checkOperationAcyclic_).
void tqArchive::checkNoCycle_(std::uint64_t target) {
    if (currentObject_.empty() || currentObject_.back() < 0) return;
    if (target < operationFirstIndex_) return;
    if (loadState_[static_cast<std::size_t>(target)] == LoadState::InProgress)
        throwCycle_(target, static_cast<std::uint64_t>(currentObject_.back()));
}

void tqArchive::throwCycle_(std::uint64_t target, std::uint64_t source) {
    malformed("reference to object " + std::to_string(target) + " from object " + std::to_string(source) +
              " makes a cycle");
}

// One depth-first colouring over the references recorded in this operation: each object and
// each reference is looked at once, so the check costs time and memory linear in the bytes
// read. Objects of earlier operations are complete and refer only to earlier objects, so they
// cannot lie on a cycle through this operation's objects.
void tqArchive::checkOperationAcyclic_() {
    enum : unsigned char { Unseen, Open, Finished };
    const auto first = static_cast<std::size_t>(operationFirstIndex_);
    std::vector<unsigned char> colour(loaded_.size() - first, Unseen);
    std::vector<std::pair<std::size_t, std::size_t>> stack;  // object, next reference to follow
    for (std::size_t root = first; root < loaded_.size(); ++root) {
        if (colour[root - first] != Unseen) continue;
        colour[root - first] = Open;
        stack.push_back({root, 0});
        while (!stack.empty()) {
            const std::size_t at = stack.back().first;
            const std::vector<std::uint64_t>& targets = refersTo_[at];
            if (stack.back().second == targets.size()) {
                colour[at - first] = Finished;
                stack.pop_back();
                continue;
            }
            const std::uint64_t target = targets[stack.back().second++];
            if (target < first) continue;
            unsigned char& seen = colour[static_cast<std::size_t>(target) - first];
            if (seen == Open) throwCycle_(target, at);
            if (seen == Unseen) {
                seen = Open;
                stack.push_back({static_cast<std::size_t>(target), 0});
            }
        }
    }
}

// After a failed operation whose objects may refer to each other in a cycle: returns each of
// them to a new object's contents, which drops every handle among them, so that they are freed
// with the archive instead of keeping each other alive.
void tqArchive::unlinkOperation_() {
    for (std::size_t i = static_cast<std::size_t>(operationFirstIndex_); i < loaded_.size(); ++i) {
        try {
            tqPersistent& object = *loaded_[i];
            const std::unique_ptr<tqPersistent> fresh(tfMakeRegistered(tfRegisteredTypeName(object)));
            std::stringstream bytes;
            {
                tqArchive out(static_cast<std::ostream&>(bytes));
                fresh->dispatchSerialize(out);
            }
            tqArchive in(static_cast<std::istream&>(bytes));
            object.dispatchSerialize(in);
        } catch (...) {
            // Already failing: the caller gets the first error, and a default object that will
            // not round-trip keeps at worst what it held.
        }
    }
}

// Writes or reads the contents of deferred objects, first in, first out. Each is treated as
// an outermost object (its contents one level deep) and may defer objects of its own, which
// join the end of the queue.
void tqArchive::drainDeferred_() {
    for (std::size_t next = 0; next < deferred_.size(); ++next) {
        const PendingObject item = deferred_[next];
        if (isStoring()) {
            DepthGuard guard(*this, -1);
            item.object->dispatchSerialize(*this);
            continue;
        }
        loadState_[static_cast<std::size_t>(item.index)] = LoadState::InProgress;
        {
            DepthGuard guard(*this, static_cast<long long>(item.index));
            item.object->dispatchSerialize(*this);
        }
        loadState_[static_cast<std::size_t>(item.index)] = LoadState::Done;
    }
    deferred_.clear();
}

// ---- value operators

tqArchive& operator||(tqArchive& ar, long& v) {
    std::int64_t x = v;
    ar.exchange(x);
    if (ar.isLoading()) {
        if constexpr (sizeof(long) < sizeof(std::int64_t)) {
            if (x < LONG_MIN || x > LONG_MAX)
                throw tqArchive::Malformed("malformed archive: integer out of range");
        }
        v = static_cast<long>(x);
    }
    return ar;
}

tqArchive& operator||(tqArchive& ar, unsigned long& v) {
    std::uint64_t x = v;
    ar.exchange(x);
    if (ar.isLoading()) {
        if constexpr (sizeof(unsigned long) < sizeof(std::uint64_t)) {
            if (x > ULONG_MAX) throw tqArchive::Malformed("malformed archive: integer out of range");
        }
        v = static_cast<unsigned long>(x);
    }
    return ar;
}

tqArchive& operator||(tqArchive& ar, double& v) {
    ar.exchange(v);
    return ar;
}

tqArchive& operator||(tqArchive& ar, unsigned char& v) {
    ar.exchange(v);
    return ar;
}

tqArchive& operator||(tqArchive& ar, bool& v) {
    ar.exchange(v);
    return ar;
}

tqArchive& operator||(tqArchive& ar, std::string& v) {
    ar.exchange(v);
    return ar;
}

tqArchive& operator||(tqArchive& ar, std::vector<bool>& v) {
    unsigned char version = 0;
    ar || version;
    tqArchive::checkVersion(version);
    const std::uint64_t count = ar.exchangeCount(v.size(), 1);
    if (ar.isStoring()) {
        for (bool b : v) ar.exchange(b);
        return ar;
    }
    std::vector<bool> loaded;
    for (std::uint64_t i = 0; i < count; ++i) {
        bool b = false;
        ar.exchange(b);
        loaded.push_back(b);
    }
    v.swap(loaded);
    return ar;
}

tqArchive& operator||(tqArchive& ar, tqPersistent& object) {
    object.dispatchSerialize(ar);
    return ar;
}
