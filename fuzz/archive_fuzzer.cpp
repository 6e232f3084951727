// libFuzzer target: loading archives from untrusted bytes.
//
// The first byte picks a registered class (or, after them, a value class with an archive
// operator of its own, fuzz/value_types.h); a default object of it loads the rest of the
// input by value, and a handle loads the rest as a pointer (any class), from a stream
// whose size the archive cannot see when the first byte's top bit is set. Any tqException is
// an accepted outcome; a crash, a leak, undefined behaviour or another exception (such as
// std::bad_alloc) is a finding. When a load succeeds, a classifier or tool is exercised
// (fuzz/exercise.h), and what was loaded must store, and storing it, loading that and storing
// again must give the same bytes.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <sstream>
#include <streambuf>
#include <string>
#include <vector>

#include "fuzz/exercise.h"
#include "fuzz/fuzz_types.h"
#include "fuzz/value_types.h"
#include "platform/archive.h"

namespace {

// Loading what we stored ourselves must work and be stable.
template <class Fresh>
void checkStable(const std::string& first, Fresh&& makeFresh) {
    auto again = makeFresh();
    {
        std::istringstream in(first);
        tqArchive ar(in);
        ar || *again;
    }
    std::string second;
    if (!fuzz::storeValue(*again, second) || second != first) __builtin_trap();
}

void loadByValue(const std::string& name, const std::string& bytes) {
    std::unique_ptr<tqPersistent> object(tfMakeRegistered(name));
    if (!object) return;
    try {
        std::istringstream in(bytes);
        tqArchive ar(in);
        ar || *object;
    } catch (const tqException&) {
        return;
    }
    if (const auto* classifier = dynamic_cast<const tq_Classifier*>(object.get())) fuzz::exercise(*classifier);
    std::string stored;
    if (fuzz::storeValue(*object, stored))
        checkStable(stored, [&] { return std::unique_ptr<tqPersistent>(tfMakeRegistered(name)); });
}

// A stream that cannot seek, so that the archive cannot know how much input is left.
class UnseekableBuf : public std::streambuf {
public:
    explicit UnseekableBuf(const std::string& s) : data_(s) {
        setg(&data_[0], &data_[0], &data_[0] + data_.size());
    }

private:
    std::string data_;
};

void loadByPointer(const std::string& bytes, bool sizeKnown) {
    auto handle = std::make_unique<tqPtrHandle<tqRepBase>>();
    try {
        std::istringstream known(bytes);
        UnseekableBuf buffer(bytes);
        std::istream unknown(&buffer);
        tqArchive ar(sizeKnown ? static_cast<std::istream&>(known) : unknown);
        ar || *handle;
        if (const auto* classifier = dynamic_cast<const tq_Classifier*>(handle->get())) fuzz::exercise(*classifier);
        std::string stored;
        if (fuzz::storeValue(*handle, stored))
            checkStable(stored, [] { return std::make_unique<tqPtrHandle<tqRepBase>>(); });
        // Let go while the archive still holds every loaded object: it then frees them in
        // load order, one link at a time, however deep the structure.
        handle->reset();
    } catch (const tqException&) {
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const std::vector<std::string> names = tfRegisteredTypeNames();
    static const std::vector<fuzz::ValueType>& values = fuzz::valueTypes();
    if (size < 1 || names.empty()) return 0;
    const std::size_t pick = data[0] % (names.size() + values.size());
    const std::string rest(reinterpret_cast<const char*>(data) + 1, size - 1);
    // Indices after the registered classes pick a value class with an archive operator of its own.
    if (pick >= names.size()) {
        fuzz::loadValue(values[pick - names.size()], rest);
        return 0;
    }
    loadByValue(names[pick], rest);
    // The selecting byte's top bit also hides the input's size from the pointer load.
    loadByPointer(rest, (data[0] & 0x80) == 0);
    return 0;
}
