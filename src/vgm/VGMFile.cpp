#include "vgm/VGMFile.h"

#include <zlib.h>
#if KLINK_HAVE_LIBDEFLATE
#include <libdeflate.h>
#endif

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "common/Bytes.h"
#include "common/Errors.h"
#include "platform/CFile.h"
#include "platform/PathText.h"

namespace klink {

namespace {

constexpr size_t kChunkSize = 0x10000;
// The gzip trailer's size field is only a hint (modulo 2^32, attacker
// controlled): never reserve more than this up front.
constexpr uint64_t kMaxReserveHint = 512ull * 1024 * 1024;

struct FileCloser {
    void operator()(std::FILE* f) const noexcept { std::fclose(f); }
};

// Ends the inflate stream on every path out of InflateGzip.
class InflateStream {
public:
    InflateStream() {
        std::memset(&stream_, 0, sizeof stream_);
        if (inflateInit2(&stream_, 31) != Z_OK) {
            throw ReadError("Cannot initialize GZIP decompression.");
        }
    }
    ~InflateStream() { inflateEnd(&stream_); }
    InflateStream(const InflateStream&) = delete;
    InflateStream& operator=(const InflateStream&) = delete;
    z_stream* Get() noexcept { return &stream_; }

private:
    z_stream stream_;
};

}  // namespace

VGMBytes ReadWholeFile(const std::filesystem::path& path) {
    errno = 0;
    std::unique_ptr<std::FILE, FileCloser> file(platform::OpenCFile(path, "rb"));
    if (!file) {
        throw OSError::FromErrno(errno, "Cannot open file " + platform::Utf8FromPath(path));
    }
    VGMBytes bytes;
    // The size is a hint only: a file may change while it is read. One byte
    // more lets the first read see the end without a second call.
    std::error_code ec;
    const auto size = std::filesystem::file_size(path, ec);
    if (!ec && size < kMaxReserveHint) {
        bytes.reserve(static_cast<size_t>(size) + 1);
    }
    for (;;) {
        // Read straight into the result's spare room.
        const size_t before = bytes.size();
        const size_t room = bytes.capacity() - before;
        const size_t want = room >= kChunkSize ? room : kChunkSize;
        bytes.resize(before + want);
        const size_t n = std::fread(bytes.data() + before, 1, want, file.get());
        bytes.resize(before + n);
        if (n < want) {
            if (std::ferror(file.get())) {
                const int code = errno != 0 ? errno : EIO;
                throw OSError::FromErrno(code, "Cannot read file " + platform::Utf8FromPath(path));
            }
            break;
        }
    }
    return bytes;
}

namespace {

#if KLINK_HAVE_LIBDEFLATE
struct DecompressorDeleter {
    void operator()(libdeflate_decompressor* d) const noexcept { libdeflate_free_decompressor(d); }
};

// The whole-buffer inflater, for the usual file of one member whose trailer
// gives the size: about twice as fast as zlib's streaming one. False when it
// cannot say (several members, a wrong size, bad data): zlib then decides,
// with its messages.
bool InflateWhole(std::span<const uint8_t> compressed, size_t size, VGMBytes& out) {
    const std::unique_ptr<libdeflate_decompressor, DecompressorDeleter> d(libdeflate_alloc_decompressor());
    if (!d) {
        return false;
    }
    out.resize(size);
    size_t used = 0;
    size_t produced = 0;
    const libdeflate_result rc = libdeflate_gzip_decompress_ex(d.get(), compressed.data(), compressed.size(),
                                                               out.data(), out.size(), &used, &produced);
    if (rc != LIBDEFLATE_SUCCESS || used != compressed.size() || produced != size) {
        out.clear();
        return false;
    }
    return true;
}
#endif

}  // namespace

VGMBytes InflateGzip(std::span<const uint8_t> compressed) {
    VGMBytes out;

    // ISIZE (last four bytes) is the first member's size modulo 2^32 when the
    // file holds one member: reserve it, capped, to avoid regrowing.
    if (compressed.size() >= 18) {
        const uint64_t hint = LoadLE32(compressed, compressed.size() - 4);
        // deflate cannot expand data more than about 1032 times.
        if (hint <= kMaxReserveHint && hint <= uint64_t{compressed.size()} * 1032) {
#if KLINK_HAVE_LIBDEFLATE
            if (hint > 0 && InflateWhole(compressed, static_cast<size_t>(hint), out)) {
                return out;
            }
#endif
            out.reserve(static_cast<size_t>(hint));
        }
    }

    InflateStream inflater;
    z_stream* zs = inflater.Get();

    // zlib counts input in uInt; feed very large inputs in slices.
    size_t inputLeft = compressed.size();
    const uint8_t* input = compressed.data();
    auto refill = [&] {
        if (zs->avail_in == 0 && inputLeft > 0) {
            const size_t n = inputLeft < 0x40000000u ? inputLeft : 0x40000000u;
            zs->next_in = const_cast<Bytef*>(input);
            zs->avail_in = static_cast<uInt>(n);
            input += n;
            inputLeft -= n;
        }
    };

    for (;;) {
        refill();
        // Inflate straight into the result's spare room: one chunk at a time.
        const size_t before = out.size();
        if (out.capacity() - before < kChunkSize) {
            out.reserve(before + (before > kChunkSize ? before : kChunkSize));
        }
        out.resize(before + kChunkSize);
        zs->next_out = out.data() + before;
        zs->avail_out = static_cast<uInt>(kChunkSize);
        const int rc = inflate(zs, Z_NO_FLUSH);
        const size_t produced = kChunkSize - zs->avail_out;
        if (rc != Z_OK && rc != Z_STREAM_END) {
            throw ReadError("Invalid or truncated GZIP data in VGM file.");
        }
        if (before > kMaxDecompressedVGMSize - produced) {
            throw ReadError("Decompressed VGM file is too large.");
        }
        out.resize(before + produced);  // shrinking keeps the inflated bytes
        if (rc == Z_STREAM_END) {
            break;
        }
        // No progress possible: the input is used up before the stream ended.
        if (produced == 0 && zs->avail_in == 0 && inputLeft == 0) {
            throw ReadError("Invalid or truncated GZIP data in VGM file.");
        }
    }
    return out;
}

VGMBytes DecodeVGMBytes(VGMBytes raw) {
    if (raw.size() >= 2 && raw[0] == 0x1F && raw[1] == 0x8B) {
        raw = InflateGzip(raw);
    }
    if (raw.size() < 64) {
        throw ReadError("VGM header is too short.");
    }
    if (raw[0] != 0x56 || raw[1] != 0x67 || raw[2] != 0x6D || raw[3] != 0x20) {
        throw ReadError("Invalid VGM signature.");
    }
    return raw;
}

VGMBytes LoadVGMFile(const std::filesystem::path& path) { return DecodeVGMBytes(ReadWholeFile(path)); }

}  // namespace klink
