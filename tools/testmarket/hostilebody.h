#pragma once

#include <cstddef>
#include <memory>
#include <string>

namespace tw::test {

// A gzip stream that decodes to `decodedBytes` zeros: about a thousandth of
// that on the wire (1 GiB from 1 MiB). Made once per size and kept.
std::shared_ptr<const std::string> gzipZeros(long long decodedBytes);

// `bytes` bytes of seeded pseudo-random garbage: a quarter of them NUL, the
// rest from 64 to 255, so mostly invalid UTF-8, and never a '"', so never an
// item block.
std::string binaryGarbage(std::size_t bytes);

} // namespace tw::test
