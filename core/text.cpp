#include "core/text.h"

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace tw::text {

std::string getFg(std::string_view s, char sep, int n)
{
    if (n < 0) {
        return {};
    }
    std::size_t start = 0;
    for (int field = 0; field < n; ++field) {
        const std::size_t pos = s.find(sep, start);
        if (pos == std::string_view::npos) {
            return {};
        }
        start = pos + 1;
    }
    const std::size_t end = s.find(sep, start);
    return std::string(
        s.substr(start, end == std::string_view::npos ? s.size() - start : end - start));
}

std::vector<std::string_view> splitFields(std::string_view s, char sep)
{
    std::vector<std::string_view> fields;
    std::size_t start = 0;
    while (true) {
        const std::size_t end = s.find(sep, start);
        if (end == std::string_view::npos) {
            fields.push_back(s.substr(start));
            return fields;
        }
        fields.push_back(s.substr(start, end - start));
        start = end + 1;
    }
}

int isInFg(std::string_view list, char sep, std::string_view item)
{
    if (list.empty()) {
        return 0;
    }
    std::size_t start = 0;
    while (true) {
        const std::size_t end = list.find(sep, start);
        const std::string_view field =
            list.substr(start, end == std::string_view::npos ? list.size() - start : end - start);
        if (field == item) {
            return 1;
        }
        if (end == std::string_view::npos) {
            return 0;
        }
        start = end + 1;
    }
}

std::string getStrPart(std::string_view s, std::string_view begin, std::string_view end)
{
    const std::size_t b = s.find(begin);
    if (b == std::string_view::npos) {
        return {};
    }
    const std::size_t from = b + begin.size();
    const std::size_t e = end.empty() ? std::string_view::npos : s.find(end, from);
    return std::string(s.substr(from, e == std::string_view::npos ? s.size() - from : e - from));
}

std::string getStrInt(long long n)
{
    return std::to_string(n);
}

namespace {

// Length of the valid UTF-8 sequence at p (1 to 4), or 0 when it is invalid.
std::size_t validSequence(const unsigned char* p, std::size_t left)
{
    const unsigned char c = p[0];
    if (c < 0x80) {
        return 1;
    }
    auto cont = [&](std::size_t i) { return i < left && (p[i] & 0xC0) == 0x80; };
    if (c >= 0xC2 && c <= 0xDF) {
        return cont(1) ? 2 : 0;
    }
    if (c >= 0xE0 && c <= 0xEF) {
        if (!cont(1) || !cont(2)) {
            return 0;
        }
        if (c == 0xE0 && p[1] < 0xA0) {
            return 0; // overlong
        }
        if (c == 0xED && p[1] > 0x9F) {
            return 0; // surrogate
        }
        return 3;
    }
    if (c >= 0xF0 && c <= 0xF4) {
        if (!cont(1) || !cont(2) || !cont(3)) {
            return 0;
        }
        if (c == 0xF0 && p[1] < 0x90) {
            return 0;
        }
        if (c == 0xF4 && p[1] > 0x8F) {
            return 0;
        }
        return 4;
    }
    return 0;
}

// The common CJK case of validSequence, cheap enough to test inline: a lead
// byte E1..EC or EE..EF (no overlong or surrogate check needed) and two
// continuation bytes.
inline bool isPlainThreeByte(const unsigned char* p, std::size_t left)
{
    const unsigned char c = p[0];
    return left >= 3 && (c & 0xF0) == 0xE0 && c != 0xE0 && c != 0xED && (p[1] & 0xC0) == 0x80 &&
           (p[2] & 0xC0) == 0x80;
}

// Index of the first byte that is not plain ASCII, 16 or 8 bytes at a time.
std::size_t asciiPrefix(const unsigned char* p, std::size_t n)
{
    std::size_t i = 0;
#if defined(__SSE2__)
    for (; i + 16 <= n; i += 16) {
        const int high =
            _mm_movemask_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i)));
        if (high != 0) {
            return i + static_cast<std::size_t>(__builtin_ctz(static_cast<unsigned>(high)));
        }
    }
#endif
    for (; i + 8 <= n; i += 8) {
        std::uint64_t word;
        std::memcpy(&word, p + i, 8);
        if (word & 0x8080808080808080ULL) {
            break;
        }
    }
    while (i < n && p[i] < 0x80) {
        ++i;
    }
    return i;
}

} // namespace

bool isValidUtf8(std::string_view s)
{
    const auto* p = reinterpret_cast<const unsigned char*>(s.data());
    for (std::size_t i = 0; i < s.size();) {
        const std::size_t len = validSequence(p + i, s.size() - i);
        if (len == 0) {
            return false;
        }
        i += len;
    }
    return true;
}

void utf8ToNarrow(std::string& s)
{
    const auto* p = reinterpret_cast<const unsigned char*>(s.data());
    const std::size_t n = s.size();
    std::size_t i = 0;
    // Most pages are valid: walk without copying until the first bad byte.
    // Non-ASCII text comes in runs (a CJK title): stay in the run rather than
    // probing for ASCII after every character.
    while (i < n) {
        i += asciiPrefix(p + i, n - i);
        while (i < n && p[i] >= 0x80) {
            if (isPlainThreeByte(p + i, n - i)) {
                i += 3;
                continue;
            }
            const std::size_t len = validSequence(p + i, n - i);
            if (len == 0) {
                goto repair;
            }
            i += len;
        }
    }
    return;
repair:
    std::string out;
    out.reserve(n + 16);
    out.append(s, 0, i);
    while (i < n) {
        const std::size_t len = validSequence(p + i, n - i);
        if (len == 0) {
            out += "\xEF\xBF\xBD";
            ++i;
        } else {
            out.append(s, i, len);
            i += len;
        }
    }
    s.swap(out);
}

std::string parseUrl(std::string_view line)
{
    constexpr std::string_view blanks = " \t\r\n";
    const std::size_t b = line.find_first_not_of(blanks);
    if (b == std::string_view::npos) {
        return {};
    }
    const std::size_t e = line.find_last_not_of(blanks);
    return std::string(line.substr(b, e - b + 1));
}

std::string percentEncode(std::string_view s)
{
    static constexpr char hex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(s.size());
    for (const unsigned char c : s) {
        const bool unreserved = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
                                (c >= '0' && c <= '9') || c == '-' || c == '.' || c == '_' ||
                                c == '~';
        if (unreserved) {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 0x0F];
        }
    }
    return out;
}

int hexValue(char c)
{
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

namespace {

// A decoded control character would break the row or hide what follows.
bool isControl(const unsigned char* p, std::size_t len)
{
    if (len == 1) {
        return p[0] < 0x20 || p[0] == 0x7F;
    }
    return len == 2 && p[0] == 0xC2 && p[1] < 0xA0; // U+0080..U+009F
}

// Decodes one run of consecutive %XX escapes that starts at `at`; returns
// where the run ends.
std::size_t decodeEscapes(std::string_view s, std::size_t at, std::string& out)
{
    std::string bytes;
    std::vector<std::size_t> starts; // where each byte's escape begins in s
    while (at + 2 < s.size() && s[at] == '%' && hexValue(s[at + 1]) >= 0 &&
           hexValue(s[at + 2]) >= 0) {
        bytes += static_cast<char>(hexValue(s[at + 1]) * 16 + hexValue(s[at + 2]));
        starts.push_back(at);
        at += 3;
    }
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    for (std::size_t i = 0; i < bytes.size();) {
        const std::size_t len = validSequence(p + i, bytes.size() - i);
        if (len == 0 || isControl(p + i, len)) {
            const std::size_t n = len == 0 ? 1 : len;
            out.append(s.substr(starts[i], 3 * n));
            i += n;
        } else {
            out.append(bytes, i, len);
            i += len;
        }
    }
    return at;
}

std::string decodeForDisplay(std::string_view s, std::size_t plusFrom)
{
    std::string out;
    out.reserve(s.size());
    for (std::size_t i = 0; i < s.size();) {
        if (s[i] == '%') {
            const std::size_t end = decodeEscapes(s, i, out);
            if (end != i) {
                i = end;
                continue;
            }
        }
        out += s[i] == '+' && i >= plusFrom ? ' ' : s[i];
        ++i;
    }
    return out;
}

} // namespace

bool isWebAddress(std::string_view url)
{
    const auto startsWith = [url](std::string_view scheme) {
        return url.size() > scheme.size() &&
               std::equal(scheme.begin(), scheme.end(), url.begin(), [](char a, char b) {
                   return a == std::tolower(static_cast<unsigned char>(b));
               });
    };
    return startsWith("http://") || startsWith("https://");
}

std::string readableUrl(std::string_view url)
{
    return decodeForDisplay(url, url.find('?'));
}

std::string readableQuery(std::string_view query)
{
    return decodeForDisplay(query, 0);
}

} // namespace tw::text
