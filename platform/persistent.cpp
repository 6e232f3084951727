// The type registry and the tqPersistent base.
#include "platform/persistent.h"

#include <map>
#include <memory>
#include <typeindex>

#if defined(__GNUG__) || defined(__clang__)
#include <cxxabi.h>
#endif

#include "platform/archive.h"
#include "platform/exception.h"

namespace {

// The readable, qualified name of a type ("tqClassifierDefs::BadParams"), as the compiler's
// ABI spells it.
std::string demangle(const std::type_info& type) {
#if defined(__GNUG__) || defined(__clang__)
    int status = 0;
    std::unique_ptr<char, void (*)(void*)> name(abi::__cxa_demangle(type.name(), nullptr, nullptr, &status),
                                                std::free);
    if (status == 0 && name) return name.get();
#endif
    return type.name();
}

struct Registry {
    struct Entry {
        std::string name;
        tqPersistent* (*make)();
    };
    std::vector<Entry> entries;  // in registration order
    std::map<std::string, std::size_t> byName;
    std::map<std::type_index, std::size_t> byType;
};

// Exemplars register during static initialisation of other libraries, possibly before this
// translation unit's own statics are built; a function-local static is built on first use.
Registry& registry() {
    static Registry instance;
    return instance;
}

}  // namespace

tq_Instantiator::tq_Instantiator(const std::type_info& type, tqPersistent* (*make)()) {
    Registry& r = registry();
    // A second exemplar of one class (or of one name) keeps the first registration.
    if (r.byType.count(std::type_index(type))) return;
    std::string name = demangle(type);
    if (r.byName.count(name)) return;
    r.byName.emplace(name, r.entries.size());
    r.byType.emplace(std::type_index(type), r.entries.size());
    r.entries.push_back({std::move(name), make});
}

std::vector<std::string> tfRegisteredTypeNames() {
    std::vector<std::string> names;
    for (const auto& entry : registry().entries) names.push_back(entry.name);
    return names;
}

std::string tfRegisteredTypeName(const tqPersistent& object) {
    const Registry& r = registry();
    const auto found = r.byType.find(std::type_index(typeid(object)));
    if (found == r.byType.end())
        throw tqExceptionWithString("class " + demangle(typeid(object)) + " is not registered for archiving");
    return r.entries[found->second].name;
}

tqPersistent* tfMakeRegistered(const std::string& name) {
    const Registry& r = registry();
    const auto found = r.byName.find(name);
    if (found == r.byName.end()) return nullptr;
    return r.entries[found->second].make();
}

tqPersistent::~tqPersistent() { mutating_(); }

// The base level archives nothing: no version byte, no fields.
void tqPersistent::dispatchSerialize(tqArchive&) {}

void tqPersistent::reInit() {}

void tqPersistent::loadSimple(tqArchive& ar) {
    if (!ar.isLoading()) throw tqExceptionWithString("loadSimple needs a loading archive");
    dispatchSerialize(ar);
}

void tqPersistent::serializePointer(tqArchive& ar, tqPersistent* current, tqPersistent*& result) {
    ar.serializePointer(current, result);
}

// The flag byte marks objects that need notice before they change; nothing in this
// stand-in sets it, so there is nothing to notify.
void tqPersistent::mutating_() noexcept {
    if (persistentFlags_ != 0) persistentFlags_ = 0;
}
