// Error classes: numbers, messages, rethrowing, archive form, the status converter and the
// load-time registration of the library's classes.
#include <cstdint>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "clss/clastool/clastool.h"
#include "platform/exception.h"
#include "test_support.h"

namespace {

using Defs = tqClassifierDefs;

struct ErrorKind {
    const char* name;  // registered (qualified) class name
    long number;
    Defs::Errors* (*make)(const std::string&);
};

template <class E>
ErrorKind kind(const char* name, long number) {
    return {name, number, [](const std::string& m) -> Defs::Errors* { return new E(m); }};
}

// In declaration order, which is also the order of registration.
const std::vector<ErrorKind> kKinds = {
    kind<Defs::BadParams>("tqClassifierDefs::BadParams", 0x10004200),
    kind<Defs::BadIndex>("tqClassifierDefs::BadIndex", 0x10004202),
    kind<Defs::BadLabel>("tqClassifierDefs::BadLabel", 0x10004203),
    kind<Defs::BadMethod>("tqClassifierDefs::BadMethod", 0x10004204),
    kind<Defs::NotTrained>("tqClassifierDefs::NotTrained", 0x10004201),
    kind<Defs::NotImplemented>("tqClassifierDefs::NotImplemented", 0x10004205),
    kind<Defs::BadFeatures>("tqClassifierDefs::BadFeatures", 0x10004206),
    kind<Defs::InsufficientTrainData>("tqClassifierDefs::InsufficientTrainData", 0x10004207),
};

// Loading by pointer rebuilds each class by its name; rethrowing throws a copy of that class
// (and frees the object: ASan checks).
TEST(ErrorsArchive, GoldenRebuiltByClassNameAndRethrown) {
    // Uncounted objects must outlive the pass: the archive tells levels apart by address.
    std::vector<std::unique_ptr<Defs::Errors>> errors;
    for (const auto& k : kKinds) errors.emplace_back(k.make(std::string("golden ") + k.name));
    std::ostringstream out;
    {
        tqArchive ar(out);
        for (const auto& error : errors) {
            tqPersistent* unused = nullptr;
            tqPersistent::serializePointer(ar, error.get(), unused);
        }
    }
    ASSERT_TRUE(tqtest::matchesGolden("errors.bin", out.str()));

    std::istringstream in(out.str());
    tqArchive ar(in);
    for (const auto& k : kKinds) {
        tqPersistent* result = nullptr;
        tqPersistent::serializePointer(ar, nullptr, result);
        auto* error = dynamic_cast<Defs::Errors*>(result);
        ASSERT_NE(error, nullptr);
        EXPECT_EQ(error->errorNumber(), k.number);  // one number per class
        EXPECT_THROW_MSG(error->suicideAndRethrow(), Defs::Errors, std::string("golden ") + k.name);
    }
}

TEST(Status, ArchivesAsAnUnsignedLongAndConvertsTheKernelFailures) {
    Defs::Status status = Defs::StatusFailed;
    unsigned long asNumber = Defs::StatusFailed, seven = 7;
    EXPECT_EQ(tqtest::storeBytes(status), tqtest::storeBytes(asNumber));
    tqtest::loadBytes(tqtest::storeBytes(seven), status);
    EXPECT_EQ(static_cast<unsigned long>(status), 7ul);

    // The converter turns the kernel's failures into errors and is registered for group 91.
    ASSERT_EQ(tfStatusGroup(0x80000B61L), 91);
    EXPECT_THROW_MSG(tq_classifierStatusConverter(0x80000B61L), Defs::InsufficientTrainData,
                     "No valid data has been used to train the distribution");
    EXPECT_THROW_MSG(tq_classifierStatusConverter(0x80000B62L), Defs::BadParams,
                     "Must call clear before updating with feature vectors of different sizes");
    // The same 32-bit words sign-extended.
    EXPECT_THROW(tq_classifierStatusConverter(static_cast<std::int32_t>(0x80000B61u)),
                 Defs::InsufficientTrainData);
    EXPECT_THROW(tq_classifierStatusConverter(static_cast<std::int32_t>(0x80000B62u)), Defs::BadParams);
    for (long other : {0L, 0x80000B60L, 0x80000B63L, 0x80000021L, 0x00000B61L})
        EXPECT_NO_THROW(tq_classifierStatusConverter(other)) << std::hex << other;

    // Registered when the library is loaded; other codes of the group reach the foundation's fallback.
    EXPECT_THROW(tfThrowExceptionOnFailure(0x80000B61L), Defs::InsufficientTrainData);
    EXPECT_THROW(tfThrowExceptionOnFailure(0x80000B63L), tqFailureStatus);
}

}  // namespace
