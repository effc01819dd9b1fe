#include "tools/testmarket/hostilebody.h"

#include <algorithm>
#include <map>
#include <mutex>
#include <random>
#include <stdexcept>
#include <zlib.h>

namespace tw::test {

namespace {

// Raw deflate of `count` zeros, ending with `flush`: Z_FULL_FLUSH gives a
// byte-aligned piece that refers to nothing before it, so copies of it may be
// laid one after another; Z_FINISH gives the final piece.
std::string deflateZeros(std::size_t count, int flush)
{
    z_stream z{};
    // Negative window bits: no zlib or gzip wrapping, the pieces are joined by hand.
    if (deflateInit2(&z, Z_BEST_COMPRESSION, Z_DEFLATED, -15, 9, Z_DEFAULT_STRATEGY) != Z_OK) {
        throw std::runtime_error("deflateInit2 failed");
    }
    const std::string zeros(count, '\0');
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(zeros.data()));
    z.avail_in = static_cast<uInt>(zeros.size());
    std::string out;
    char buffer[1 << 16];
    do {
        z.next_out = reinterpret_cast<Bytef*>(buffer);
        z.avail_out = sizeof buffer;
        deflate(&z, flush);
        out.append(buffer, sizeof buffer - z.avail_out);
    } while (z.avail_out == 0);
    deflateEnd(&z);
    return out;
}

void appendLittleEndian32(std::string& out, unsigned long value)
{
    for (int i = 0; i < 4; ++i) {
        out += static_cast<char>((value >> (8 * i)) & 0xFF);
    }
}

} // namespace

std::shared_ptr<const std::string> gzipZeros(long long decodedBytes)
{
    static std::mutex mutex;
    static std::map<long long, std::shared_ptr<const std::string>> made;
    std::lock_guard lock(mutex);
    if (const auto it = made.find(decodedBytes); it != made.end()) {
        return it->second;
    }

    // Deflating a GiB of zeros takes seconds; one MiB, laid down again and
    // again, takes a few ms and gives the same ratio.
    constexpr std::size_t kPiece = 1 << 20;
    const auto total = static_cast<unsigned long long>(std::max(decodedBytes, 0LL));
    const std::string piece = deflateZeros(kPiece, Z_FULL_FLUSH);
    const auto rest = static_cast<std::size_t>(total % kPiece);
    const std::string zeros(kPiece, '\0');
    const auto crcOfZeros = [&](std::size_t n) {
        return crc32(0L, reinterpret_cast<const Bytef*>(zeros.data()), static_cast<uInt>(n));
    };

    // A gzip header: deflate, no name, no time, Unix.
    std::string out("\x1f\x8b\x08\x00\x00\x00\x00\x00\x00\x03", 10);
    unsigned long crc = crc32(0L, Z_NULL, 0);
    const unsigned long pieceCrc = crcOfZeros(kPiece);
    for (unsigned long long n = total / kPiece; n > 0; --n) {
        out += piece;
        crc = crc32_combine(crc, pieceCrc, kPiece);
    }
    out += deflateZeros(rest, Z_FINISH);
    crc = crc32_combine(crc, crcOfZeros(rest), static_cast<z_off_t>(rest));
    appendLittleEndian32(out, crc);
    appendLittleEndian32(out, static_cast<unsigned long>(total & 0xFFFFFFFFULL));

    auto stream = std::make_shared<const std::string>(std::move(out));
    made.emplace(decodedBytes, stream);
    return stream;
}

std::string binaryGarbage(std::size_t bytes)
{
    std::mt19937 random(20261207);
    std::uniform_int_distribution<int> byte(0, 255);
    std::string out(bytes, '\0');
    for (char& c : out) {
        const int value = byte(random);
        c = value < 64 ? '\0' : static_cast<char>(value);
    }
    return out;
}

} // namespace tw::test
