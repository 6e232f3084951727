// The CRC-32C checksum of model files, and an output buffer that takes it on the way.
#ifndef CLASTOOL_TOOLS_CHECKSUM_H
#define CLASTOOL_TOOLS_CHECKSUM_H

#include <cstddef>
#include <cstdint>
#include <streambuf>

namespace cli {

// The CRC-32C (Castagnoli) of `size` bytes, continuing from `crc` (0 to start).
std::uint32_t crc32c(const char* bytes, std::size_t size, std::uint32_t crc = 0);

// An output buffer that passes every byte on to `next` (or, when it is null, nowhere) and keeps
// the CRC-32C of what passed, so that a large archive is checksummed while it is written rather
// than held in memory first. crc() counts the bytes passed so far; call pubsync() before it.
class ChecksumBuffer : public std::streambuf {
public:
    explicit ChecksumBuffer(std::streambuf* next) : next_(next) { setp(bytes_, bytes_ + sizeof bytes_); }
    std::uint32_t crc() const { return crc_; }

protected:
    int_type overflow(int_type c) override;
    int sync() override;

private:
    bool drain();

    std::streambuf* next_;
    std::uint32_t crc_ = 0;
    char bytes_[1 << 16];
};

}  // namespace cli

#endif  // CLASTOOL_TOOLS_CHECKSUM_H
