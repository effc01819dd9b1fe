// Page extraction over arbitrary bytes. Input: one byte n, then n % 32 bytes
// of ignore words, then the pages of one check separated by 0x01.
#include "engine/pageparser.h"
#include "fuzz/fuzzcheck.h"

#include <QByteArrayView>
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

namespace {

constexpr std::string_view kBlockStart = "{\"p4pTags";
constexpr char kPageSeparator = '\x01';

bool validUtf8(std::string_view s)
{
    return QByteArrayView(s.data(), static_cast<qsizetype>(s.size())).isValidUtf8();
}

std::vector<std::string_view> split(std::string_view s, char sep)
{
    std::vector<std::string_view> parts;
    while (true) {
        const std::size_t at = s.find(sep);
        parts.push_back(s.substr(0, at));
        if (at == std::string_view::npos) {
            return parts;
        }
        s.remove_prefix(at + 1);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    std::string_view input(reinterpret_cast<const char*>(data), size);
    if (input.empty()) {
        return 0;
    }
    const std::size_t wordsLength = std::min<std::size_t>(
        static_cast<unsigned char>(input.front()) % 32, input.size() - 1);
    const std::string_view ignoreWords = input.substr(1, wordsLength);
    input.remove_prefix(1 + wordsLength);

    tw::PageParser parser(ignoreWords);
    for (const std::string_view page : split(input, kPageSeparator)) {
        const std::size_t before = parser.count();
        const bool more = parser.addPage(page);
        // The page loop ends exactly where a page holds no item block start.
        FUZZ_CHECK(more == (page.find(kBlockStart) != std::string_view::npos));
        // The last page's ids are the ones it added, at the end of the list.
        const std::vector<std::string> added = parser.lastPageIds();
        FUZZ_CHECK(added.size() == parser.count() - before);
        if (!added.empty()) {
            const std::string ids = parser.idList();
            FUZZ_CHECK(ids.size() >= added.back().size() &&
                       ids.compare(ids.size() - added.back().size(), std::string::npos,
                                   added.back()) == 0);
        }
        if (!more) {
            break;
        }
    }

    const std::string ids = parser.idList();
    const std::string& titles = parser.titles();
    FUZZ_CHECK(ids.empty() == (parser.count() == 0));
    FUZZ_CHECK(titles.empty() == (parser.count() == 0));
    FUZZ_CHECK(validUtf8(ids));
    FUZZ_CHECK(validUtf8(titles));
    if (parser.count() == 0) {
        return 0;
    }
    // Ids joined by "," with no empty field and none twice; one title per id,
    // each followed by "^", so titles pair with ids by position.
    const std::vector<std::string_view> idFields = split(ids, ',');
    FUZZ_CHECK(idFields.size() == parser.count());
    std::unordered_set<std::string_view> seen;
    // A NUL would cut the id and title fields the window reads short.
    FUZZ_CHECK(ids.find('\0') == std::string::npos);
    FUZZ_CHECK(titles.find('\0') == std::string::npos);
    for (const std::string_view id : idFields) {
        FUZZ_CHECK(!id.empty());
        FUZZ_CHECK(seen.insert(id).second);
    }
    FUZZ_CHECK(titles.back() == '^');
    const std::vector<std::string_view> titleFields = split(titles, '^');
    FUZZ_CHECK(titleFields.size() == parser.count() + 1);
    FUZZ_CHECK(titleFields.back().empty());
    return 0;
}
