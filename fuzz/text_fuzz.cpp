// The text helpers of the utility library. Input: a separator byte, a field
// number byte, a byte whose nibbles give the lengths of a begin and an end
// marker taken from what follows, and the text.
#include "core/text.h"
#include "core/zuvira.h"
#include "fuzz/fuzzcheck.h"

#include <QByteArrayView>
#include <algorithm>
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

namespace {

using tw::CCore;

bool validUtf8(std::string_view s)
{
    return QByteArrayView(s.data(), static_cast<qsizetype>(s.size())).isValidUtf8();
}

bool isBlank(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

int hexValue(char c)
{
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

void checkFields(std::string_view s, char sep, int n)
{
    const auto fields = tw::text::splitFields(s, sep);
    FUZZ_CHECK(!fields.empty());
    std::string joined;
    for (std::size_t i = 0; i < fields.size(); ++i) {
        FUZZ_CHECK(fields[i].find(sep) == std::string_view::npos);
        joined += fields[i];
        if (i + 1 < fields.size()) {
            joined += sep;
        }
    }
    FUZZ_CHECK(joined == s);
    const auto at = static_cast<std::size_t>(n);
    FUZZ_CHECK(CCore::getFg(s, sep, n) == (at < fields.size() ? fields[at] : std::string_view()));
    FUZZ_CHECK(CCore::getFg(s, sep, -1 - n).empty());
    if (!s.empty()) {
        FUZZ_CHECK(CCore::isInFg(s, sep, fields[at % fields.size()]) == 1);
        // Longer than the whole text, so no field of it.
        FUZZ_CHECK(CCore::isInFg(s, sep, std::string(s) + "x") == 0);
    } else {
        FUZZ_CHECK(CCore::isInFg(s, sep, "") == 0);
    }
}

void checkStrPart(std::string_view s, std::string_view begin, std::string_view end)
{
    const std::string part = CCore::getStrPart(s, begin, end);
    const std::size_t b = s.find(begin);
    if (b == std::string_view::npos) {
        FUZZ_CHECK(part.empty());
        return;
    }
    const std::string_view after = s.substr(b + begin.size());
    FUZZ_CHECK(after.substr(0, part.size()) == part);
    if (!end.empty()) {
        FUZZ_CHECK(part.find(end) == std::string::npos);
        const std::string_view rest = after.substr(part.size());
        FUZZ_CHECK(rest.empty() || rest.substr(0, end.size()) == end);
    } else {
        FUZZ_CHECK(part.size() == after.size());
    }
}

void checkParseUrl(std::string_view s)
{
    const std::string url = CCore::parseUrl(s);
    FUZZ_CHECK(CCore::parseUrl(url) == url);
    FUZZ_CHECK(s.find(url) != std::string_view::npos);
    if (!url.empty()) {
        FUZZ_CHECK(!isBlank(url.front()) && !isBlank(url.back()));
    } else {
        for (const char c : s) {
            FUZZ_CHECK(isBlank(c));
        }
    }
}

void checkNarrow(std::string_view s)
{
    std::string narrow(s);
    CCore::UTF8_ANSI(narrow);
    FUZZ_CHECK(validUtf8(narrow));
    if (validUtf8(s)) {
        FUZZ_CHECK(narrow == s);
    }
    std::string again = narrow;
    CCore::UTF8_ANSI(again);
    FUZZ_CHECK(again == narrow);
    // Every bad byte becomes one U+FFFD of three bytes.
    FUZZ_CHECK(narrow.size() >= s.size() && narrow.size() <= 3 * s.size());
}

void checkPercentEncoding(std::string_view s)
{
    const std::string encoded = tw::text::percentEncode(s);
    std::string decoded;
    for (std::size_t i = 0; i < encoded.size(); ++i) {
        const char c = encoded[i];
        if (c != '%') {
            FUZZ_CHECK(std::isalnum(static_cast<unsigned char>(c)) || std::strchr("-._~", c));
            decoded += c;
            continue;
        }
        FUZZ_CHECK(i + 2 < encoded.size());
        const int hi = hexValue(encoded[i + 1]);
        const int lo = hexValue(encoded[i + 2]);
        FUZZ_CHECK(hi >= 0 && lo >= 0);
        decoded += static_cast<char>(hi * 16 + lo);
        i += 2;
    }
    FUZZ_CHECK(decoded == s);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 3) {
        return 0;
    }
    const char sep = static_cast<char>(data[0]);
    const int n = data[1];
    std::string_view rest(reinterpret_cast<const char*>(data + 3), size - 3);
    const std::size_t beginLength = std::min<std::size_t>(data[2] & 0x0F, rest.size());
    const std::string_view begin = rest.substr(0, beginLength);
    rest.remove_prefix(beginLength);
    const std::size_t endLength = std::min<std::size_t>(data[2] >> 4, rest.size());
    const std::string_view end = rest.substr(0, endLength);
    const std::string_view s = rest.substr(endLength);

    checkFields(s, sep, n);
    checkStrPart(s, begin, end);
    checkParseUrl(s);
    checkNarrow(s);
    checkPercentEncoding(s);
    long long number = 0;
    std::memcpy(&number, data, std::min<std::size_t>(size, sizeof number));
    FUZZ_CHECK(CCore::getStrInt(number) == std::to_string(number));
    return 0;
}
