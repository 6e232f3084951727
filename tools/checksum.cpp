#include "tools/checksum.h"

#include <array>
#include <cstring>

#if defined(__x86_64__)
#include <nmmintrin.h>
#endif

namespace cli {
namespace {

// The byte-at-a-time table of the reflected Castagnoli polynomial.
const std::array<std::uint32_t, 256> kCrcTable = [] {
    std::array<std::uint32_t, 256> table{};
    for (std::uint32_t i = 0; i < 256; ++i) {
        std::uint32_t c = i;
        for (int bit = 0; bit < 8; ++bit) c = (c & 1) ? (c >> 1) ^ 0x82F63B78u : c >> 1;
        table[i] = c;
    }
    return table;
}();

// Works on the inverted register, as both variants below.
std::uint32_t crcByTable(const char* bytes, std::size_t size, std::uint32_t crc) {
    for (std::size_t i = 0; i < size; ++i)
        crc = kCrcTable[(crc ^ static_cast<unsigned char>(bytes[i])) & 0xFF] ^ (crc >> 8);
    return crc;
}

#if defined(__x86_64__)
// The processor's own CRC-32C instruction, eight bytes at a time: a model file of a large
// k-nearest-neighbour classifier is checksummed once when written and once when read.
__attribute__((target("sse4.2"))) std::uint32_t crcByInstruction(const char* bytes, std::size_t size,
                                                                  std::uint32_t crc) {
    std::uint64_t c = crc;
    for (; size >= 8; bytes += 8, size -= 8) {
        std::uint64_t word;
        std::memcpy(&word, bytes, 8);
        c = _mm_crc32_u64(c, word);
    }
    crc = static_cast<std::uint32_t>(c);
    for (; size > 0; ++bytes, --size) crc = _mm_crc32_u8(crc, static_cast<unsigned char>(*bytes));
    return crc;
}

bool haveInstruction() {
    static const bool have = [] {
        __builtin_cpu_init();
        return __builtin_cpu_supports("sse4.2") != 0;
    }();
    return have;
}
#endif

}  // namespace

std::uint32_t crc32c(const char* bytes, std::size_t size, std::uint32_t crc) {
#if defined(__x86_64__)
    if (haveInstruction()) return ~crcByInstruction(bytes, size, ~crc);
#endif
    return ~crcByTable(bytes, size, ~crc);
}

ChecksumBuffer::int_type ChecksumBuffer::overflow(int_type c) {
    if (!drain()) return traits_type::eof();
    if (!traits_type::eq_int_type(c, traits_type::eof())) sputc(traits_type::to_char_type(c));
    return traits_type::not_eof(c);
}

int ChecksumBuffer::sync() {
    if (!drain()) return -1;
    return next_ == nullptr ? 0 : next_->pubsync();
}

bool ChecksumBuffer::drain() {
    const std::streamsize n = pptr() - pbase();
    crc_ = crc32c(pbase(), static_cast<std::size_t>(n), crc_);
    setp(bytes_, bytes_ + sizeof bytes_);
    return next_ == nullptr || next_->sputn(bytes_, n) == n;
}

}  // namespace cli
