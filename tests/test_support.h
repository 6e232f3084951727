// Helpers shared by the test suites.
#ifndef CLASTOOL_TESTS_TEST_SUPPORT_H
#define CLASTOOL_TESTS_TEST_SUPPORT_H

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <initializer_list>
#include <iterator>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "platform/archive.h"

namespace tqtest {

// Expects fn() to throw E with exactly the message `text` (what()).
template <class E, class Fn>
::testing::AssertionResult throwsWithMessage(Fn&& fn, const std::string& text) {
    try {
        fn();
    } catch (const E& e) {
        if (std::string(e.what()) == text) return ::testing::AssertionSuccess();
        return ::testing::AssertionFailure() << "threw the expected type with message \"" << e.what()
                                             << "\" instead of \"" << text << "\"";
    } catch (const std::exception& e) {
        return ::testing::AssertionFailure() << "threw another type: " << typeid(e).name() << " \""
                                             << e.what() << "\"";
    }
    return ::testing::AssertionFailure() << "did not throw";
}

#define EXPECT_THROW_MSG(statement, Type, text) \
    EXPECT_TRUE(::tqtest::throwsWithMessage<Type>([&] { statement; }, text))

// Tables of refused calls: each row's call must throw its type (raises<E>) with its exact
// message, and leave `unchanged()` true.
using Call = std::function<void()>;
using Raises = ::testing::AssertionResult (*)(const Call&, const std::string&);
template <class E>
constexpr Raises raises = &throwsWithMessage<E, const Call&>;
struct Refusal {
    Call call;
    Raises raises;
    std::string message;
};
inline void expectRefusals(const std::vector<Refusal>& rows,
                           const std::function<bool()>& unchanged = [] { return true; }) {
    for (std::size_t i = 0; i < rows.size(); ++i) {
        EXPECT_TRUE(rows[i].raises(rows[i].call, rows[i].message)) << "row " << i;
        EXPECT_TRUE(unchanged()) << "changed by row " << i;
    }
}

// Archive building blocks for exact-byte checks: one byte, eight-byte little-endian integers
// and doubles.
inline std::string u8(unsigned char v) { return std::string(1, static_cast<char>(v)); }
inline std::string i64(std::int64_t v) {
    std::string bytes(8, '\0');
    for (int i = 0; i < 8; ++i)
        bytes[static_cast<std::size_t>(i)] = static_cast<char>((static_cast<std::uint64_t>(v) >> (8 * i)) & 0xff);
    return bytes;
}
inline std::string f64(double v) {
    std::uint64_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    return i64(static_cast<std::int64_t>(bits));
}

// Stores x (a temporary too) with its archive operator and returns the bytes.
template <class T>
std::string storeBytes(T&& x) {
    std::ostringstream out;
    {
        tqArchive ar(out);
        ar || x;
    }
    return out.str();
}

// Loads x from bytes with its archive operator.
template <class T>
void loadBytes(const std::string& bytes, T& x) {
    std::istringstream in(bytes);
    tqArchive ar(in);
    ar || x;
}

// Stores x, loads the bytes into y, and checks that storing y gives the same bytes.
template <class T>
::testing::AssertionResult roundTrips(T& x, T& y) {
    const std::string bytes = storeBytes(x);
    loadBytes(bytes, y);
    if (storeBytes(y) != bytes) return ::testing::AssertionFailure() << "store(load(store(x))) differs";
    return ::testing::AssertionSuccess();
}

// One version byte of a stored form, and the place an unknown value there is reported as.
struct VersionByte {
    std::size_t offset;
    std::string where;
    long line;
};

// The refusals every stored form owes: a 1 in each listed version byte of `good` throws
// UnknownVersion naming its place, and every proper prefix of `good` throws a tqException.
// Each load goes into a fresh make(), which it must keep unchanged.
template <class Make>
void expectArchiveRefusals(const std::string& good, Make make, const std::vector<VersionByte>& versions) {
    using T = decltype(make());
    auto unchanged = [&](const T& target) { return target == make(); };
    for (const VersionByte& v : versions) {
        std::string bad = good;
        bad[v.offset] = 1;
        T target = make();
        try {
            loadBytes(bad, target);
            ADD_FAILURE() << "accepted version 1 at byte " << v.offset;
        } catch (const tqArchive::UnknownVersion& e) {
            EXPECT_EQ(e.where(), v.where) << "byte " << v.offset;
            EXPECT_EQ(e.line(), v.line) << "byte " << v.offset;
        }
        EXPECT_TRUE(unchanged(target)) << "byte " << v.offset;
    }
    for (std::size_t cut = 0; cut < good.size(); ++cut) {
        T target = make();
        EXPECT_THROW(loadBytes(good.substr(0, cut), target), tqException) << "cut at " << cut;
        EXPECT_TRUE(unchanged(target)) << "cut at " << cut;
    }
}

// Golden archives: tests/data/<name> holds the bytes today's code writes. With
// CLASTOOL_REGENERATE_GOLDEN=1 in the environment the file is rewritten instead.
inline std::string goldenPath(const std::string& name) { return std::string(CLASTOOL_TEST_DATA) + "/" + name; }

inline std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Checks that `bytes` equal the golden file `name` (or rewrites it when asked to).
inline ::testing::AssertionResult matchesGolden(const std::string& name, const std::string& bytes) {
    const char* regenerate = std::getenv("CLASTOOL_REGENERATE_GOLDEN");
    if (regenerate && std::string(regenerate) == "1") {
        std::ofstream(goldenPath(name), std::ios::binary) << bytes;
        return ::testing::AssertionSuccess();
    }
    const std::string golden = readFile(goldenPath(name));
    if (golden.empty()) return ::testing::AssertionFailure() << "missing golden file " << name;
    if (golden != bytes) return ::testing::AssertionFailure() << "bytes differ from golden file " << name;
    return ::testing::AssertionSuccess();
}

// Loading `bytes` with the byte at any of `offsets` set to 1 (a version byte) throws UnknownVersion;
// load(bytes) does the loading.
template <class Load>
::testing::AssertionResult refusesVersions(const std::string& bytes,
                                           std::initializer_list<std::size_t> offsets, Load&& load) {
    for (std::size_t at : offsets) {
        std::string wrong = bytes;
        wrong.at(at) = 1;
        try {
            load(wrong);
        } catch (const tqArchive::UnknownVersion&) {
            continue;
        }
        return ::testing::AssertionFailure() << "version 1 at byte " << at << " was not refused";
    }
    return ::testing::AssertionSuccess();
}

// `bytes` with every occurrence of `from` replaced by `to` (as long); `from` must occur.
inline std::string patched(std::string bytes, const std::string& from, const std::string& to) {
    EXPECT_NE(bytes.find(from), std::string::npos) << "nothing to patch";
    for (auto at = bytes.find(from); at != std::string::npos; at = bytes.find(from, at + to.size()))
        bytes.replace(at, from.size(), to);
    return bytes;
}

// The archive properties of x: its bytes match golden file `name`, loading the golden file into y and
// storing y gives the same bytes, and every shorter prefix (each `step`th) is refused.
template <class T>
::testing::AssertionResult archiveHolds(const std::string& name, T& x, T& y, std::size_t step = 1) {
    const std::string bytes = storeBytes(x);
    ::testing::AssertionResult golden = matchesGolden(name, bytes);
    if (!golden) return golden;
    loadBytes(readFile(goldenPath(name)), y);
    if (storeBytes(y) != bytes) return ::testing::AssertionFailure() << "store(load(" << name << ")) differs";
    for (std::size_t n = 0; n < bytes.size(); n += step) {  // every shorter prefix is refused
        T target{};
        try {
            loadBytes(bytes.substr(0, n), target);
        } catch (const tqException&) {
            continue;
        }
        return ::testing::AssertionFailure() << "loaded the first " << n << " of " << bytes.size() << " bytes";
    }
    return ::testing::AssertionSuccess();
}

}  // namespace tqtest

#endif
