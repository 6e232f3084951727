#include "clss/clastool/errors.h"

#include <cstdint>

// ---------------------------------------------------------------------------------------------
// Errors

tqClassifierDefs::Errors::Errors(const std::string& message) : tqExceptionWithString(message) {}
tqClassifierDefs::Errors::Errors(const Errors& other) = default;
tqClassifierDefs::Errors& tqClassifierDefs::Errors::operator=(const Errors& other) = default;
tqClassifierDefs::Errors::~Errors() = default;

void tqClassifierDefs::Errors::dispatchSerialize(tqArchive& ar) {
    serializeLevel_(ar, this, sizeof(*this), [&](unsigned char v) { serialize_(ar, v); });
}

void tqClassifierDefs::Errors::serialize_(tqArchive& ar, unsigned char version) {
    tqArchive::checkVersion(version, "tqClassifierDefs::Errors", 0);
    tqExceptionWithString::dispatchSerialize(ar);
}

// ---------------------------------------------------------------------------------------------
// The eight concrete classes differ only in their name and number. Each archives one level of
// its own (a version byte and nothing else) above Errors.

#define TQ_CLASSIFIER_ERROR_DEFINITION(Name, number)                                           \
    tqClassifierDefs::Name::Name(const std::string& message) : Errors(message) {}              \
    tqClassifierDefs::Name::Name(const Name& other) = default;                                 \
    tqClassifierDefs::Name& tqClassifierDefs::Name::operator=(const Name& other) = default;    \
    long tqClassifierDefs::Name::errorNumber() const { return number; }                        \
    void tqClassifierDefs::Name::suicideAndRethrow() {                                         \
        Name copy(*this);                                                                      \
        delete this;                                                                           \
        throw copy;                                                                            \
    }                                                                                          \
    tqPersistent* tqClassifierDefs::Name::make() { return new Name(); }                        \
    void tqClassifierDefs::Name::dispatchSerialize(tqArchive& ar) {                            \
        serializeLevel_(ar, this, sizeof(*this), [&](unsigned char v) { serialize_(ar, v); }); \
    }                                                                                          \
    void tqClassifierDefs::Name::serialize_(tqArchive& ar, unsigned char version) {            \
        tqArchive::checkVersion(version, "tqClassifierDefs::" #Name, 0);                       \
        Errors::dispatchSerialize(ar);                                                         \
    }

TQ_CLASSIFIER_ERROR_DEFINITION(BadParams, 0x10004200L)
TQ_CLASSIFIER_ERROR_DEFINITION(NotTrained, 0x10004201L)
TQ_CLASSIFIER_ERROR_DEFINITION(BadIndex, 0x10004202L)
TQ_CLASSIFIER_ERROR_DEFINITION(BadLabel, 0x10004203L)
TQ_CLASSIFIER_ERROR_DEFINITION(BadMethod, 0x10004204L)
TQ_CLASSIFIER_ERROR_DEFINITION(NotImplemented, 0x10004205L)
TQ_CLASSIFIER_ERROR_DEFINITION(BadFeatures, 0x10004206L)
TQ_CLASSIFIER_ERROR_DEFINITION(InsufficientTrainData, 0x10004207L)

#undef TQ_CLASSIFIER_ERROR_DEFINITION

// ---------------------------------------------------------------------------------------------

tqArchive& operator||(tqArchive& ar, tqClassifierDefs::Status& status) {
    unsigned long value = status;
    ar || value;
    if (ar.isLoading()) status = static_cast<tqClassifierDefs::Status>(value);
    return ar;
}

void tq_classifierStatusConverter(long status) {
    // Statuses are 32-bit words; a caller may hand them over sign-extended or not.
    switch (static_cast<std::uint32_t>(status)) {
        case 0x80000B61u:
            throw tqClassifierDefs::InsufficientTrainData(
                "No valid data has been used to train the distribution");
        case 0x80000B62u:
            throw tqClassifierDefs::BadParams(
                "Must call clear before updating with feature vectors of different sizes");
        default:
            return;
    }
}
