#include "clss/clastool/trainparams.h"

tqClassifierTrainParams::tqClassifierTrainParams() = default;

tqClassifierTrainParams::~tqClassifierTrainParams() = default;

// The flag belongs to the caller's object only (the tool reads it there at the moment of the
// call), so a copy - and therefore every clone a classifier keeps - starts from the default.
tqClassifierTrainParams::tqClassifierTrainParams(const tqClassifierTrainParams& other)
    : tqPersistent(other), tqRepBase() {}

tqClassifierTrainParams& tqClassifierTrainParams::operator=(const tqClassifierTrainParams&) {
    mutating_();
    return *this;
}

bool tqClassifierTrainParams::isEqual_(const tqClassifierTrainParams&) const { return true; }

void tqClassifierTrainParams::dispatchSerialize(tqArchive& ar) {
    serializeLevel_(ar, static_cast<const tqClassifierTrainParams*>(this), sizeof(tqClassifierTrainParams),
                    [&](unsigned char v) { serialize_(ar, v); });
}

void tqClassifierTrainParams::serialize_(tqArchive& ar, unsigned char version) {
    tqArchive::checkVersion(version);
    tqPersistent::dispatchSerialize(ar);
}
