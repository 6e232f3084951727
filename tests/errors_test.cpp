// Error classes: numbers, messages, rethrowing, archive form, the status converter and the
// load-time registration of the library's classes.
#include <cstdint>
#include <functional>
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
    std::function<Defs::Errors*(const std::string&)> make;
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

TEST(ErrorsArchive, TwoVersionBytesThenTheStringLevel) {
    Defs::BadParams error("Costs must be >= 0.0");
    const std::string bytes = tqtest::storeBytes(static_cast<tqPersistent&>(error));
    tqExceptionWithString plain("Costs must be >= 0.0");
    EXPECT_EQ(bytes, std::string(2, '\0') + tqtest::storeBytes(static_cast<tqPersistent&>(plain)));
    for (std::size_t cut : {std::size_t{0}, std::size_t{1}, std::size_t{2}, bytes.size() - 1}) {
        Defs::BadParams target;
        EXPECT_THROW(tqtest::loadBytes(bytes.substr(0, cut), static_cast<tqPersistent&>(target)), tqException)
            << "cut at " << cut;
    }
}

TEST(ErrorsArchive, UnknownVersionNamesTheLevel) {
    for (const auto& k : kKinds) {
        std::unique_ptr<Defs::Errors> error(k.make("x"));
        for (std::size_t level = 0; level < 2; ++level) {
            std::string bad = tqtest::storeBytes(static_cast<tqPersistent&>(*error));
            bad[level] = 1;
            std::unique_ptr<Defs::Errors> target(k.make(""));
            try {
                tqtest::loadBytes(bad, static_cast<tqPersistent&>(*target));
                ADD_FAILURE() << k.name << " accepted version 1 at level " << level;
            } catch (const tqArchive::UnknownVersion& e) {
                EXPECT_EQ(e.where(), level == 0 ? std::string(k.name) : "tqClassifierDefs::Errors");
                EXPECT_EQ(e.line(), 0);
            }
        }
    }
}

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
        EXPECT_EQ(error->errorNumber(), k.number);
        EXPECT_EQ(tfRegisteredTypeName(*error), k.name);
        EXPECT_THROW_MSG(error->suicideAndRethrow(), Defs::Errors, std::string("golden ") + k.name);
    }
}

TEST(Status, ArchivesAsAnUnsignedLongOfAnyValue) {
    Defs::Status status = Defs::StatusFailed;
    unsigned long asNumber = Defs::StatusFailed;
    EXPECT_EQ(tqtest::storeBytes(status), tqtest::storeBytes(asNumber));
    unsigned long other = 7;
    tqtest::loadBytes(tqtest::storeBytes(other), status);
    EXPECT_EQ(static_cast<unsigned long>(status), 7ul);
}

TEST(StatusConverter, TurnsTheKernelFailuresIntoErrorsAndIsRegisteredForGroup91) {
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

// Every persistent class of the library, in the order in which the library registers them.
const std::vector<std::string> kAllClasses = {
    "tqClassifierDefs::BadParams", "tqClassifierDefs::BadIndex", "tqClassifierDefs::BadLabel",
    "tqClassifierDefs::BadMethod", "tqClassifierDefs::NotTrained", "tqClassifierDefs::NotImplemented",
    "tqClassifierDefs::BadFeatures", "tqClassifierDefs::InsufficientTrainData", "tqFeaturePattern",
    "tqClassifierDataProviderMemory", "tqClassifierTrainParamsBayesian", "tq_PDFMultivariateNormal",
    "tq_PDFBinomial", "tq_CategoryModelBayesian", "tq_ClassifierBayesian", "tqPatternDistanceMetricNorm",
    "tqClassifierTrainParamsKNN", "tq_ClassifierKNN", "tqDecisionTreeNode", "tqDecisionTreeLeaf",
    "tqRangePredicate", "tqValidityPredicate", "tqComparisonPredicate", "tq_ClassifierDecisionTree"};

TEST(Registry, TheCompleteListInOrder) { EXPECT_EQ(tfRegisteredTypeNames(), kAllClasses); }

}  // namespace
