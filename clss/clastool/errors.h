// The exceptions of the classifier library and its status codes.
//
// Every error the library reports is thrown by value as one of the eight classes nested in
// tqClassifierDefs, each with a fixed English message and a fixed error number. The classes
// are persistent: an error can be archived and rebuilt, and a rebuilt heap object can be
// thrown with suicideAndRethrow().
#ifndef CLASTOOL_ERRORS_H
#define CLASTOOL_ERRORS_H

#include <string>

#include "platform/archive.h"
#include "platform/exception.h"

// Every error class has the same members; only its name, number and meaning differ.
#define TQ_CLASSIFIER_ERROR_DECLARATION(Name)                    \
    class Name : public Errors {                                 \
    public:                                                      \
        explicit Name(const std::string& message = "");          \
        Name(const Name& other);                                 \
        Name& operator=(const Name& other);                      \
        void dispatchSerialize(tqArchive& ar) override;          \
        long errorNumber() const override;                       \
        void suicideAndRethrow() override;                       \
        static tq_Instantiator sExemplar;                        \
                                                                 \
    protected:                                                   \
        void serialize_(tqArchive& ar, unsigned char version);   \
                                                                 \
    private:                                                     \
        static tqPersistent* make();                             \
    }

// A namespace-like class: the error classes and the Status enumeration.
class tqClassifierDefs {
public:
    tqClassifierDefs& operator=(const tqClassifierDefs&) = default;

    // No operation of the library takes or returns a Status; only its archive form (an
    // unsigned long) is fixed.
    enum Status : unsigned long {
        StatusOk = 0,
        StatusFailed = 1,
    };

    // Abstract base of the eight error classes. Its only data is the message.
    //
    // Archive layout of an error: the concrete class's version byte (0), the version byte of
    // Errors (0), then the message as tqExceptionWithString archives it. Any other version
    // throws tqArchive::UnknownVersion whose text is the full class name and whose line is 0.
    class Errors : public tqExceptionWithString {
    public:
        ~Errors() override;
        void dispatchSerialize(tqArchive& ar) override;
        long errorNumber() const override = 0;
        // Deletes this heap object and throws a copy of it by value, as its own class.
        void suicideAndRethrow() override = 0;

    protected:
        explicit Errors(const std::string& message = "");
        Errors(const Errors& other);
        Errors& operator=(const Errors& other);
        void serialize_(tqArchive& ar, unsigned char version);
    };

    // An argument or parameter out of its allowed range, or inconsistent parameters. 0x10004200.
    TQ_CLASSIFIER_ERROR_DECLARATION(BadParams);
    // A pattern, label or measurement index outside its range. 0x10004202.
    TQ_CLASSIFIER_ERROR_DECLARATION(BadIndex);
    // A negative category label, or two labels that must differ and do not. 0x10004203.
    TQ_CLASSIFIER_ERROR_DECLARATION(BadLabel);
    // A request that does not fit the classification technique in use. 0x10004204.
    TQ_CLASSIFIER_ERROR_DECLARATION(BadMethod);
    // An operation that needs a trained classifier or rule table. 0x10004201.
    TQ_CLASSIFIER_ERROR_DECLARATION(NotTrained);
    // A technique, distribution or training mode that is not implemented. 0x10004205.
    TQ_CLASSIFIER_ERROR_DECLARATION(NotImplemented);
    // Invalid measurements where valid ones are needed, or patterns of unequal lengths. 0x10004206.
    TQ_CLASSIFIER_ERROR_DECLARATION(BadFeatures);
    // Too little (or no valid) training data. 0x10004207.
    TQ_CLASSIFIER_ERROR_DECLARATION(InsufficientTrainData);
};

#undef TQ_CLASSIFIER_ERROR_DECLARATION

// A Status passes as an unsigned long in both directions.
tqArchive& operator||(tqArchive& ar, tqClassifierDefs::Status& status);

// The converter of status group 91 (the multivariate-normal kernel's failures), registered
// when the library is loaded. 0x80000B61 throws InsufficientTrainData, 0x80000B62 throws
// BadParams; for any other status it returns. Only the low 32 bits of `status` are looked at.
void tq_classifierStatusConverter(long status);

// The status group the converter above is registered for.
constexpr long kTqClassifierStatusGroup = 91;

#endif
