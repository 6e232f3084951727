// Persistence: the base of every archivable class and the type registry that rebuilds
// objects by class name when an archive is loaded.
#ifndef TQ_PLATFORM_PERSISTENT_H
#define TQ_PLATFORM_PERSISTENT_H

#include <cstddef>
#include <string>
#include <typeinfo>
#include <vector>

class tqArchive;

// Base of every archivable class. A class level archives itself in dispatchSerialize:
// once per archive pass, a version byte, then serialize_(ar, version), which passes the
// next level down and then the level's own fields (see serializeLevel_).
class tqPersistent {
public:
    virtual ~tqPersistent();
    virtual void dispatchSerialize(tqArchive& ar);
    // Returns the object to its default state. The base does nothing.
    virtual void reInit();
    // Loads the object in place from ar: the same as dispatchSerialize on a loading archive.
    virtual void loadSimple(tqArchive& ar);

    // Stores `current` (storing archive) or loads an object into `result` (loading archive):
    // a null pointer, a new object by class name, or a reference to an object already
    // passed in this archive pass. A loaded object stays alive at least until the archive
    // is destroyed; the caller that keeps it counts it (counted objects) or owns it.
    static void serializePointer(tqArchive& ar, tqPersistent* current, tqPersistent*& result);

protected:
    tqPersistent() = default;
    tqPersistent(const tqPersistent&) = default;
    tqPersistent& operator=(const tqPersistent&) = default;

    // Destructors and assignments call this first; it acts only when the flag byte is set.
    void mutating_() noexcept;

    // The standard body of a dispatchSerialize (defined in platform/archive.h): skips the level (object address and size)
    // if the object being passed has passed it already, exchanges the version byte, calls
    // serialize(version), and marks the level passed.
    template <class Serialize>
    static void serializeLevel_(tqArchive& ar, const void* level, std::size_t size, Serialize&& serialize);

    unsigned char persistentFlags_ = 0;
};

// Registers a class with the type registry at load time: one static exemplar per class,
// all in one translation unit so that the registration order is fixed.
class tq_Instantiator {
public:
    tq_Instantiator(const std::type_info& type, tqPersistent* (*make)());
    tq_Instantiator(const tq_Instantiator&) = delete;
    tq_Instantiator& operator=(const tq_Instantiator&) = delete;
};

// The qualified C++ names of the registered classes, in registration order.
std::vector<std::string> tfRegisteredTypeNames();

// The registered name of an object's dynamic type; throws tqExceptionWithString if unregistered.
std::string tfRegisteredTypeName(const tqPersistent& object);

// A new default object of the registered class `name`; null if the name is not registered.
tqPersistent* tfMakeRegistered(const std::string& name);

#endif
