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
    std::function<void(const std::string&)> throwIt;
};

template <class E>
ErrorKind kind(const char* name, long number) {
    return {name, number, [](const std::string& m) -> Defs::Errors* { return new E(m); },
            [](const std::string& m) { throw E(m); }};
}

// In declaration order, which is also the order of registration.
const std::vector<ErrorKind>& kinds() {
    static const std::vector<ErrorKind> all = {
        kind<Defs::BadParams>("tqClassifierDefs::BadParams", 0x10004200),
        kind<Defs::BadIndex>("tqClassifierDefs::BadIndex", 0x10004202),
        kind<Defs::BadLabel>("tqClassifierDefs::BadLabel", 0x10004203),
        kind<Defs::BadMethod>("tqClassifierDefs::BadMethod", 0x10004204),
        kind<Defs::NotTrained>("tqClassifierDefs::NotTrained", 0x10004201),
        kind<Defs::NotImplemented>("tqClassifierDefs::NotImplemented", 0x10004205),
        kind<Defs::BadFeatures>("tqClassifierDefs::BadFeatures", 0x10004206),
        kind<Defs::InsufficientTrainData>("tqClassifierDefs::InsufficientTrainData", 0x10004207),
    };
    return all;
}

// Stores an error by value (its own dispatchSerialize).
std::string storeError(Defs::Errors& error) { return tqtest::storeBytes(static_cast<tqPersistent&>(error)); }

// Stores `object` by pointer, so that loading rebuilds it by class name.
std::string storeByPointer(tqPersistent* object) {
    std::ostringstream out;
    {
        tqArchive ar(out);
        tqPersistent* unused = nullptr;
        tqPersistent::serializePointer(ar, object, unused);
    }
    return out.str();
}

// Loads one object by pointer; the caller owns the (uncounted) result.
std::unique_ptr<tqPersistent> loadByPointer(const std::string& bytes) {
    std::istringstream in(bytes);
    tqArchive ar(in);
    tqPersistent* result = nullptr;
    tqPersistent::serializePointer(ar, nullptr, result);
    return std::unique_ptr<tqPersistent>(result);
}

TEST(Errors, NumberAndClassAreFixedAndTheMessageIsTheConstructorText) {
    for (const auto& k : kinds()) {
        std::unique_ptr<Defs::Errors> plain(k.make(""));
        EXPECT_EQ(plain->errorNumber(), k.number) << k.name;
        EXPECT_EQ(plain->message(true), "");
        EXPECT_EQ(tfRegisteredTypeName(*plain), k.name);
        EXPECT_THROW_MSG(k.throwIt("m"), Defs::Errors, "m");
        EXPECT_THROW_MSG(k.throwIt("m"), tqException, "m");
        EXPECT_THROW(k.throwIt("m"), tqPersistent);
    }
    Defs::NotTrained assigned;
    assigned = Defs::NotTrained("text");
    EXPECT_EQ(std::string(assigned.what()), "text");
    EXPECT_EQ(assigned.errorNumber(), 0x10004201);
}

TEST(Errors, SuicideAndRethrowThrowsACopyOfItsOwnClass) {
    Defs::Errors* heap = new Defs::BadIndex("Feature pattern index must be >=0 and < number of patterns.");
    try {
        heap->suicideAndRethrow();
        FAIL() << "did not throw";
    } catch (const Defs::BadIndex& e) {
        EXPECT_EQ(std::string(e.what()), "Feature pattern index must be >=0 and < number of patterns.");
        EXPECT_EQ(e.errorNumber(), 0x10004202);
    }
    // Every class rethrows as itself, catchable as Errors (the object is freed: ASan checks).
    for (const auto& k : kinds()) {
        Defs::Errors* error = k.make("text");
        try {
            error->suicideAndRethrow();
            ADD_FAILURE() << k.name << " did not throw";
        } catch (const Defs::Errors& e) {
            EXPECT_EQ(e.errorNumber(), k.number);
            EXPECT_EQ(tfRegisteredTypeName(e), k.name);
            EXPECT_EQ(std::string(e.what()), "text");
        }
    }
}

TEST(ErrorsArchive, TwoVersionBytesPrecedeTheMessage) {
    Defs::BadParams error("Costs must be >= 0.0");
    const std::string bytes = storeError(error);
    ASSERT_GE(bytes.size(), 2u + std::string("Costs must be >= 0.0").size());
    EXPECT_EQ(bytes[0], '\0');
    EXPECT_EQ(bytes[1], '\0');
    // What follows is exactly the string level of the foundation.
    tqExceptionWithString plain("Costs must be >= 0.0");
    EXPECT_EQ(bytes.substr(2), tqtest::storeBytes(static_cast<tqPersistent&>(plain)));

    Defs::BadParams loaded;
    tqtest::loadBytes(bytes, static_cast<tqPersistent&>(loaded));
    EXPECT_EQ(std::string(loaded.what()), "Costs must be >= 0.0");
}

TEST(ErrorsArchive, UnknownVersionNamesTheLevel) {
    for (const auto& k : kinds()) {
        std::unique_ptr<Defs::Errors> error(k.make("x"));
        const std::string good = storeError(*error);
        for (int level = 0; level < 2; ++level) {
            std::string bad = good;
            bad[static_cast<std::size_t>(level)] = 1;
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

TEST(ErrorsArchive, RebuiltByClassNameAndRethrown) {
    for (const auto& k : kinds()) {
        std::unique_ptr<Defs::Errors> error(k.make("stored message"));
        const std::string bytes = storeByPointer(error.get());
        std::unique_ptr<tqPersistent> loaded = loadByPointer(bytes);
        auto* rebuilt = dynamic_cast<Defs::Errors*>(loaded.get());
        ASSERT_NE(rebuilt, nullptr) << k.name;
        EXPECT_EQ(rebuilt->errorNumber(), k.number);
        EXPECT_EQ(storeByPointer(rebuilt), bytes);
        loaded.release();
        EXPECT_THROW_MSG(rebuilt->suicideAndRethrow(), Defs::Errors, "stored message");
    }
}

TEST(ErrorsArchive, TruncatedInputThrows) {
    Defs::InsufficientTrainData error("No valid data has been used to train the distribution");
    const std::string bytes = storeError(error);
    for (std::size_t cut : {std::size_t{0}, std::size_t{1}, std::size_t{2}, bytes.size() - 1}) {
        Defs::InsufficientTrainData target;
        EXPECT_THROW(tqtest::loadBytes(bytes.substr(0, cut), static_cast<tqPersistent&>(target)), tqException)
            << "cut at " << cut;
    }
}

TEST(ErrorsArchive, Golden) {
    // Uncounted objects must outlive the pass: the archive tells levels apart by address.
    std::vector<std::unique_ptr<Defs::Errors>> errors;
    for (const auto& k : kinds()) errors.emplace_back(k.make(std::string("golden ") + k.name));
    std::ostringstream out;
    {
        tqArchive ar(out);
        for (const auto& error : errors) {
            tqPersistent* unused = nullptr;
            tqPersistent::serializePointer(ar, error.get(), unused);
        }
    }
    ASSERT_TRUE(tqtest::matchesGolden("errors.bin", out.str()));

    std::istringstream in(tqtest::readFile(tqtest::goldenPath("errors.bin")));
    tqArchive ar(in);
    std::vector<std::unique_ptr<tqPersistent>> loaded;
    for (const auto& k : kinds()) {
        tqPersistent* result = nullptr;
        tqPersistent::serializePointer(ar, nullptr, result);
        loaded.emplace_back(result);
        auto* error = dynamic_cast<Defs::Errors*>(result);
        ASSERT_NE(error, nullptr);
        EXPECT_EQ(error->errorNumber(), k.number);
        EXPECT_EQ(std::string(error->what()), std::string("golden ") + k.name);
    }
}

TEST(Status, ArchivesAsAnUnsignedLong) {
    Defs::Status status = Defs::StatusFailed;
    unsigned long asNumber = Defs::StatusFailed;
    EXPECT_EQ(tqtest::storeBytes(status), tqtest::storeBytes(asNumber));

    Defs::Status loaded = Defs::StatusOk;
    EXPECT_TRUE(tqtest::roundTrips(status, loaded));
    EXPECT_EQ(loaded, Defs::StatusFailed);
    // A value this code has no enumerator for still loads as that value.
    unsigned long other = 7;
    tqtest::loadBytes(tqtest::storeBytes(other), loaded);
    EXPECT_EQ(static_cast<unsigned long>(loaded), 7ul);
}

TEST(StatusConverter, TurnsTheKernelFailuresIntoErrors) {
    const long insufficient = 0x80000B61L;
    const long mustClear = 0x80000B62L;
    const char* insufficientText = "No valid data has been used to train the distribution";
    const char* mustClearText = "Must call clear before updating with feature vectors of different sizes";
    ASSERT_EQ(tfStatusGroup(insufficient), 91);
    ASSERT_EQ(tfStatusGroup(mustClear), 91);

    EXPECT_THROW_MSG(tq_classifierStatusConverter(insufficient), Defs::InsufficientTrainData,
                     insufficientText);
    EXPECT_THROW_MSG(tq_classifierStatusConverter(mustClear), Defs::BadParams, mustClearText);
    // The same 32-bit words sign-extended.
    EXPECT_THROW(tq_classifierStatusConverter(static_cast<std::int32_t>(0x80000B61u)),
                 Defs::InsufficientTrainData);
    EXPECT_THROW(tq_classifierStatusConverter(static_cast<std::int32_t>(0x80000B62u)), Defs::BadParams);

    // Any other status: the converter returns.
    for (long other : {0L, 0x80000B60L, 0x80000B63L, 0x80000021L, 0x00000B61L})
        EXPECT_NO_THROW(tq_classifierStatusConverter(other)) << std::hex << other;
}

TEST(StatusConverter, RegisteredForGroup91WhenTheLibraryIsLoaded) {
    EXPECT_THROW_MSG(tfThrowExceptionOnFailure(0x80000B61L), Defs::InsufficientTrainData,
                     "No valid data has been used to train the distribution");
    EXPECT_THROW_MSG(tfThrowExceptionOnFailure(0x80000B62L), Defs::BadParams,
                     "Must call clear before updating with feature vectors of different sizes");
    // The converter returns for other codes of the group, so the foundation's fallback throws.
    EXPECT_THROW(tfThrowExceptionOnFailure(0x80000B63L), tqFailureStatus);
    EXPECT_NO_THROW(tfThrowExceptionOnFailure(0));
}

TEST(Registry, ClassesRegisterInTheFixedOrder) {
    std::vector<std::string> expected;
    for (const auto& k : kinds()) expected.push_back(k.name);
    expected.push_back("tqFeaturePattern");
    expected.push_back("tqClassifierDataProviderMemory");
    for (const char* name : {"tqClassifierTrainParamsBayesian", "tq_PDFMultivariateNormal", "tq_PDFBinomial",
                             "tq_CategoryModelBayesian", "tq_ClassifierBayesian"})
        expected.push_back(name);

    const std::vector<std::string> names = tfRegisteredTypeNames();
    ASSERT_GE(names.size(), expected.size());
    EXPECT_EQ(std::vector<std::string>(names.begin(), names.begin() + static_cast<long>(expected.size())),
              expected);
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
