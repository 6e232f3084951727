// Persistent classes that exist only in the fuzz programs, registered after the library's
// own: a counted node with two handles (chains, sharing, deferral, cycles) and an uncounted
// error class (objects handed to the caller). Included by exactly one source per program.
#ifndef CLASTOOL_FUZZ_FUZZ_TYPES_H
#define CLASTOOL_FUZZ_FUZZ_TYPES_H

#include "platform/archive.h"

namespace fuzz {

class Node : public tqPersistent, public tqRepBase {
public:
    void dispatchSerialize(tqArchive& ar) override {
        serializeLevel_(ar, this, sizeof(*this), [&](unsigned char version) {
            tqArchive::checkVersion(version, "fuzz::Node");
            tqPersistent::dispatchSerialize(ar);
            ar || value || left || right;
        });
    }
    static tqPersistent* make() { return new Node; }

    long value = 0;
    tqPtrHandle<Node> left;
    tqPtrHandle<tqRepBase> right;
};

class Error : public tqExceptionWithString {
public:
    void dispatchSerialize(tqArchive& ar) override {
        serializeLevel_(ar, this, sizeof(*this), [&](unsigned char version) {
            tqArchive::checkVersion(version, "fuzz::Error");
            tqExceptionWithString::dispatchSerialize(ar);
        });
    }
    long errorNumber() const override { return 1; }
    void suicideAndRethrow() override {
        Error copy(*this);
        delete this;
        throw copy;
    }
    static tqPersistent* make() { return new Error; }
};

tq_Instantiator nodeExemplar(typeid(Node), &Node::make);
tq_Instantiator errorExemplar(typeid(Error), &Error::make);

}  // namespace fuzz

#endif
