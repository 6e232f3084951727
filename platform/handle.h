// Counted handles: intrusive reference counting for shared, heap-allocated objects.
#ifndef TQ_PLATFORM_HANDLE_H
#define TQ_PLATFORM_HANDLE_H

#include <atomic>
#include <cstddef>
#include <utility>

// Throws tqBadPointer; out of line so that this header needs no exception classes.
[[noreturn]] void tq_throwBadPointer();

// Base of every object shared through handles. The count is atomic so that
// handles to one object may be copied and dropped on several threads at once.
class tqRepBase {
public:
    tqRepBase() noexcept : refCount_(0) {}
    // A copy is a new object: it starts with its own count of 0.
    tqRepBase(const tqRepBase&) noexcept : refCount_(0) {}
    tqRepBase& operator=(const tqRepBase&) noexcept { return *this; }
    virtual ~tqRepBase() = default;

    // Acquire: a caller that sees itself as the only owner (a count of 1) may take the object
    // apart, so it must also see every write the handles released before it made.
    long refCount() const noexcept { return refCount_.load(std::memory_order_acquire); }

    void tq_addRef() const noexcept { refCount_.fetch_add(1, std::memory_order_relaxed); }
    // Deletes the object when the last handle lets go of it.
    void tq_release() const noexcept {
        if (refCount_.fetch_sub(1, std::memory_order_acq_rel) == 1) destroy_();
    }

private:
    // Out of line: GCC 12 inlines the virtual deleting destructor of a class in which tqRepBase is
    // not the first base and then warns (-Wfree-nonheap-object) about the adjusted pointer.
    void destroy_() const noexcept;

    mutable std::atomic<long> refCount_;
};

// Common machinery of tqPtrHandle<T> (U = T) and tqPtrHandle_const<T> (U = const T).
template <class U>
class tq_HandleBase {
public:
    U* get() const noexcept { return p_; }
    bool isNull() const noexcept { return p_ == nullptr; }
    explicit operator bool() const noexcept { return p_ != nullptr; }
    U& operator*() const { return *checked_(); }
    U* operator->() const { return checked_(); }

protected:
    tq_HandleBase() noexcept = default;
    explicit tq_HandleBase(U* p) noexcept : p_(p) { addRef_(); }
    tq_HandleBase(const tq_HandleBase& o) noexcept : p_(o.p_) { addRef_(); }
    tq_HandleBase(tq_HandleBase&& o) noexcept : p_(o.p_) { o.p_ = nullptr; }
    ~tq_HandleBase() { release_(); }
    tq_HandleBase& operator=(const tq_HandleBase& o) noexcept {
        reset_(o.p_);
        return *this;
    }
    tq_HandleBase& operator=(tq_HandleBase&& o) noexcept {
        if (this != &o) {
            release_();
            p_ = o.p_;
            o.p_ = nullptr;
        }
        return *this;
    }
    // Takes p (counted), then drops the old object; safe when p is reachable only through the old one.
    void reset_(U* p) noexcept {
        if (p) static_cast<const tqRepBase*>(p)->tq_addRef();
        U* old = p_;
        p_ = p;
        if (old) static_cast<const tqRepBase*>(old)->tq_release();
    }

private:
    U* checked_() const {
        if (!p_) tq_throwBadPointer();
        return p_;
    }
    void addRef_() noexcept {
        if (p_) static_cast<const tqRepBase*>(p_)->tq_addRef();
    }
    void release_() noexcept {
        if (p_) static_cast<const tqRepBase*>(p_)->tq_release();
        p_ = nullptr;
    }

    U* p_ = nullptr;
};

// A counted handle to a T. Empty by default; following an empty handle throws tqBadPointer.
template <class T>
class tqPtrHandle : public tq_HandleBase<T> {
public:
    tqPtrHandle() noexcept = default;
    // Takes a heap object (new or already counted) and counts it.
    explicit tqPtrHandle(T* p) noexcept : tq_HandleBase<T>(p) {}
    template <class D>
    tqPtrHandle(const tqPtrHandle<D>& d) noexcept : tq_HandleBase<T>(d.get()) {}

    void reset(T* p = nullptr) noexcept { this->reset_(p); }
};

// A counted handle to a const T; converts implicitly from handles to T and to derived types.
template <class T>
class tqPtrHandle_const : public tq_HandleBase<const T> {
public:
    tqPtrHandle_const() noexcept = default;
    explicit tqPtrHandle_const(const T* p) noexcept : tq_HandleBase<const T>(p) {}
    template <class D>
    tqPtrHandle_const(const tqPtrHandle<D>& d) noexcept : tq_HandleBase<const T>(d.get()) {}
    template <class D>
    tqPtrHandle_const(const tqPtrHandle_const<D>& d) noexcept : tq_HandleBase<const T>(d.get()) {}

    void reset(const T* p = nullptr) noexcept { this->reset_(p); }
};

// Identity comparison: two handles are equal when they refer to the same object.
template <class A, class B>
bool operator==(const tq_HandleBase<A>& a, const tq_HandleBase<B>& b) noexcept {
    return a.get() == b.get();
}
template <class A, class B>
bool operator!=(const tq_HandleBase<A>& a, const tq_HandleBase<B>& b) noexcept {
    return a.get() != b.get();
}

#endif
