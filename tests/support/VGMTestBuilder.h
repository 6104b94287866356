#pragma once
// Builds small VGM files byte by byte for the tests: a header of a chosen
// size, then commands, then optionally a GD3 block.

#include <zlib.h>

#include <cstdint>
#include <initializer_list>
#include <stdexcept>
#include <string>
#include <vector>

namespace klink::test {

class VGMBuilder {
public:
    // A header of `headerSize` bytes; from version 1.50 on the data offset
    // field points just past it.
    explicit VGMBuilder(uint32_t version = 0x171, uint32_t headerSize = 0x100) : bytes_(headerSize, 0) {
        bytes_[0] = 'V';
        bytes_[1] = 'g';
        bytes_[2] = 'm';
        bytes_[3] = ' ';
        Field(0x08, version);
        if (version >= 0x150 && headerSize >= 0x38) Field(0x34, headerSize - 0x34);
    }

    VGMBuilder& Field(uint32_t offset, uint32_t value) {
        Put32(offset, value);
        return *this;
    }
    VGMBuilder& Byte(uint32_t offset, uint8_t value) {
        if (bytes_.size() <= offset) bytes_.resize(offset + 1);
        bytes_[offset] = value;
        return *this;
    }
    VGMBuilder& Cmd(std::initializer_list<uint8_t> b) {
        bytes_.insert(bytes_.end(), b.begin(), b.end());
        return *this;
    }
    VGMBuilder& Raw(const std::vector<uint8_t>& b) {
        bytes_.insert(bytes_.end(), b.begin(), b.end());
        return *this;
    }
    VGMBuilder& End() { return Cmd({0x66}); }
    // Sets the loop field so that the loop starts at the current end.
    VGMBuilder& LoopHere() { return Field(0x1C, static_cast<uint32_t>(bytes_.size() - 0x1C)); }
    uint32_t Position() const { return static_cast<uint32_t>(bytes_.size()); }

    // Appends a GD3 block at the current end and points field 0x14 at it.
    VGMBuilder& GD3(const std::vector<std::u16string>& strings) {
        std::vector<uint8_t> text;
        for (const auto& s : strings) {
            for (char16_t u : s) {
                text.push_back(static_cast<uint8_t>(u & 0xFF));
                text.push_back(static_cast<uint8_t>(u >> 8));
            }
            text.push_back(0);
            text.push_back(0);
        }
        return GD3Raw(text, static_cast<uint32_t>(text.size()));
    }
    VGMBuilder& GD3Raw(const std::vector<uint8_t>& text, uint32_t length) {
        Field(0x14, static_cast<uint32_t>(bytes_.size() - 0x14));
        Cmd({'G', 'd', '3', ' ', 0, 1, 0, 0});
        const uint32_t at = Position();
        bytes_.resize(at + 4);
        Put32(at, length);
        Raw(text);
        return *this;
    }

    std::vector<uint8_t> Build() const { return bytes_; }

private:
    void Put32(uint32_t offset, uint32_t value) {
        if (bytes_.size() < offset + 4) bytes_.resize(offset + 4);
        for (int i = 0; i < 4; ++i) bytes_[offset + i] = static_cast<uint8_t>(value >> (8 * i));
    }
    std::vector<uint8_t> bytes_;
};

// gzip-compresses `data` (one member).
inline std::vector<uint8_t> Gzip(const std::vector<uint8_t>& data) {
    z_stream zs{};
    if (deflateInit2(&zs, 6, Z_DEFLATED, 31, 8, Z_DEFAULT_STRATEGY) != Z_OK)
        throw std::runtime_error("deflateInit2");
    std::vector<uint8_t> out(deflateBound(&zs, static_cast<uLong>(data.size())) + 32);
    zs.next_in = const_cast<Bytef*>(data.data());
    zs.avail_in = static_cast<uInt>(data.size());
    zs.next_out = out.data();
    zs.avail_out = static_cast<uInt>(out.size());
    const int rc = deflate(&zs, Z_FINISH);
    deflateEnd(&zs);
    if (rc != Z_STREAM_END) throw std::runtime_error("deflate");
    out.resize(zs.total_out);
    return out;
}

}  // namespace klink::test
