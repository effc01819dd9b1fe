#pragma once

#include <cstdio>
#include <cstdlib>
#include <string_view>

// A broken property ends the run like a crash, so libFuzzer keeps the input
// that broke it as a reproducer.
#define FUZZ_CHECK(cond)                                                                 \
    do {                                                                                 \
        if (!(cond)) {                                                                   \
            std::fprintf(stderr, "%s:%d: property failed: %s\n", __FILE__, __LINE__, #cond); \
            std::abort();                                                                \
        }                                                                                \
    } while (false)

namespace tw::fuzz {

// The next field of an input cut into parts at sep; the last part runs to the end.
inline std::string_view takeField(std::string_view& rest, char sep)
{
    const std::size_t at = rest.find(sep);
    const std::string_view field = rest.substr(0, at);
    rest = at == std::string_view::npos ? std::string_view() : rest.substr(at + 1);
    return field;
}

} // namespace tw::fuzz
