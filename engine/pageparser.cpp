#include "engine/pageparser.h"

#include "core/zuvira.h"

#include <algorithm>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace tw {

namespace {

constexpr std::string_view kBlockStart = "{\"p4pTags";
constexpr std::string_view kBlockEnd = ",\"shopLink";
constexpr std::string_view kIdStart = "nid\":\"";
constexpr std::string_view kIdEnd = "\"";
constexpr std::string_view kTitleStart = "raw_title\":\"";
constexpr std::string_view kTitleEnd = "\",";

// The bytes between the first and the last; markers and words are short, so
// a loop beats a call to memcmp.
inline bool sameMiddle(const char* at, std::string_view marker)
{
    for (std::size_t k = 1; k + 1 < marker.size(); ++k) {
        if (at[k] != marker[k]) {
            return false;
        }
    }
    return true;
}

// Where a marker starts in text from `from` on, or npos. The markers are
// searched over the whole page, so this is the parser's hot loop: 16 places
// are tested at once for the marker's first and last byte, and only where
// both match are the bytes between compared. In a JSON page that pair is
// rare even where the first byte alone ('{', ',') is everywhere.
std::size_t findMarker(std::string_view text, std::string_view marker, std::size_t from)
{
    const std::size_t m = marker.size();
    if (from > text.size() || text.size() - from < m) {
        return std::string_view::npos;
    }
    if (m < 2) {
        return text.find(marker, from);
    }
    const char* const data = text.data();
    const std::size_t n = text.size();
    std::size_t i = from;
#if defined(__SSE2__)
    const __m128i first = _mm_set1_epi8(marker.front());
    const __m128i last = _mm_set1_epi8(marker.back());
    const auto candidates = [&](std::size_t at) {
        const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + at));
        const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + at + m - 1));
        return static_cast<unsigned>(
            _mm_movemask_epi8(_mm_and_si128(_mm_cmpeq_epi8(a, first), _mm_cmpeq_epi8(b, last))));
    };
    // Two blocks a round: a hit is rare, the loop's own cost is not.
    for (; i + 32 + m - 1 <= n; i += 32) {
        auto mask = candidates(i) | (candidates(i + 16) << 16);
        while (mask != 0) {
            const std::size_t at = i + static_cast<std::size_t>(__builtin_ctz(mask));
            if (sameMiddle(data + at, marker)) {
                return at;
            }
            mask &= mask - 1;
        }
    }
    for (; i + m <= n; ++i) {
        if (data[i] == marker.front() && data[i + m - 1] == marker.back() &&
            sameMiddle(data + i, marker)) {
            return i;
        }
    }
    return std::string_view::npos;
#else
    const void* hit = memmem(data + i, n - i, marker.data(), m);
    return hit ? static_cast<std::size_t>(static_cast<const char*>(hit) - data)
               : std::string_view::npos;
#endif
}

// The text after the first begin up to the next end; "" without begin, the
// rest of s when no end follows (as the utility library's getStrPart).
std::string_view part(std::string_view s, std::string_view begin, std::string_view end)
{
    const std::size_t b = findMarker(s, begin, 0);
    if (b == std::string_view::npos) {
        return {};
    }
    const std::size_t from = b + begin.size();
    const std::size_t e = findMarker(s, end, from);
    return s.substr(from, e == std::string_view::npos ? s.size() - from : e - from);
}

bool isContinuationByte(char c)
{
    return (static_cast<unsigned char>(c) & 0xC0) == 0x80;
}

// Case-sensitive substring test that only counts matches covering whole
// UTF-8 characters, so a word never matches the tail of one character and
// the head of the next.
bool containsWord(std::string_view title, std::string_view word)
{
    for (std::size_t at = findMarker(title, word, 0); at != std::string_view::npos;
         at = findMarker(title, word, at + 1)) {
        const std::size_t end = at + word.size();
        if (!isContinuationByte(title[at]) &&
            (end == title.size() || !isContinuationByte(title[end]))) {
            return true;
        }
    }
    return false;
}

// The code point of the UTF-8 sequence at s[i], advancing i past it; -1 for
// a sequence that is not valid UTF-8 (overlong, surrogate, past U+10FFFF, cut).
long nextCodePoint(std::string_view s, std::size_t& i)
{
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
    const unsigned char lead = byte(i);
    if (lead < 0x80) {
        ++i;
        return lead;
    }
    int extra = 0;
    long cp = 0;
    long least = 0;
    if ((lead & 0xE0) == 0xC0) {
        extra = 1, cp = lead & 0x1F, least = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
        extra = 2, cp = lead & 0x0F, least = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
        extra = 3, cp = lead & 0x07, least = 0x10000;
    } else {
        return -1;
    }
    if (s.size() - i <= static_cast<std::size_t>(extra)) {
        return -1;
    }
    for (int k = 1; k <= extra; ++k) {
        if (!isContinuationByte(s[i + k])) {
            return -1;
        }
        cp = (cp << 6) | (byte(i + k) & 0x3F);
    }
    if (cp < least || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
        return -1;
    }
    i += static_cast<std::size_t>(extra) + 1;
    return cp;
}

bool isBlankOrControl(long cp)
{
    return cp <= 0x20 || (cp >= 0x7F && cp <= 0xA0) || cp == 0x1680 ||
           (cp >= 0x2000 && cp <= 0x200B) || cp == 0x2028 || cp == 0x2029 || cp == 0x202F ||
           cp == 0x205F || cp == 0x3000 || cp == 0xFEFF;
}

// An id is opened in the browser, stored and compared byte for byte: it must
// be text, without blanks or control characters, and without the "," that
// separates the ids of a list.
bool isUsableId(std::string_view id)
{
    for (std::size_t i = 0; i < id.size();) {
        const long cp = nextCodePoint(id, i);
        if (cp < 0 || cp == ',' || isBlankOrControl(cp)) {
            return false;
        }
    }
    return true;
}

// The first ignore word title holds; "" for none.
std::string_view ignoreWordIn(std::string_view title, std::string_view ignoreWords)
{
    if (ignoreWords.empty()) {
        return {};
    }
    std::size_t start = 0;
    while (true) {
        const std::size_t comma = ignoreWords.find(',', start);
        const std::string_view word = ignoreWords.substr(
            start, comma == std::string_view::npos ? std::string_view::npos : comma - start);
        // An empty field ends the list, a trailing "," included.
        if (word.empty()) {
            return {};
        }
        if (containsWord(title, word)) {
            return word;
        }
        if (comma == std::string_view::npos) {
            return {};
        }
        start = comma + 1;
    }
}

// The first of words that title lacks; "" when it holds them all.
std::string_view missingWordIn(std::string_view title, std::string_view words)
{
    while (true) {
        const std::size_t comma = words.find(',');
        const std::string_view word = words.substr(0, comma);
        if (!word.empty() && !containsWord(title, word)) {
            return word;
        }
        if (comma == std::string_view::npos) {
            return {};
        }
        words.remove_prefix(comma + 1);
    }
}

// The title as the titles text carries it.
void makeStorable(std::string& title)
{
    // The titles text is cut at "^" to pair titles with ids by position.
    std::replace(title.begin(), title.end(), '^', ' ');
    // Titles are shown and stored as C strings, which a NUL would cut short.
    std::replace(title.begin(), title.end(), '\0', ' ');
}

} // namespace

bool isIgnoredTitle(std::string_view title, std::string_view ignoreWords)
{
    return !ignoreWordIn(title, ignoreWords).empty();
}

bool holdsEveryWord(std::string_view title, std::string_view words)
{
    return missingWordIn(title, words).empty();
}

PageParser::PageParser(std::string_view ignoreWords, std::string_view extraIgnoreWords,
                       std::string_view mustWords)
    : m_ignoreWords(ignoreWords), m_extraIgnoreWords(extraIgnoreWords), m_mustWords(mustWords)
{}

bool PageParser::holdsItems(std::string_view page)
{
    return findMarker(page, kBlockStart, 0) != std::string_view::npos;
}

bool PageParser::addPage(std::string_view page)
{
    m_pageStart = m_ids.size();
    std::size_t p = findMarker(page, kBlockStart, 0);
    if (p == std::string_view::npos) {
        return false;
    }
    while (p != std::string_view::npos) {
        const std::size_t q = findMarker(page, kBlockEnd, p);
        if (q == std::string_view::npos) {
            // A block that never ends: a cut page. What follows is not an item.
            break;
        }
        const std::size_t from = p + kBlockStart.size();
        addItem(page.substr(from, q - from));
        p = findMarker(page, kBlockStart, q);
    }
    return true;
}

void PageParser::addItem(std::string_view block)
{
    // Converted field by field rather than page by page: every delimiter is
    // ASCII, which the conversion never touches, so the fields come out the
    // same, and the rest of the page is never walked twice.
    // The id is not repaired like the title: an id with U+FFFD in place of
    // its bytes would be opened as another id than the one stored.
    const std::string_view rawId = part(block, kIdStart, kIdEnd);
    std::string title(part(block, kTitleStart, kTitleEnd));
    CCore::UTF8_ANSI(title);
    if (isIgnoredTitle(title, m_ignoreWords) || isIgnoredTitle(title, m_extraIgnoreWords) ||
        !holdsEveryWord(title, m_mustWords) || rawId.empty()) {
        if (m_keepLog) {
            logDropped(rawId, std::move(title));
        }
        return;
    }
    // A "," inside an id would split it in two in the id list and shift every
    // later title against its id; a NUL would end the slot's id fields there
    // and lose every id after it.
    if (!isUsableId(rawId)) {
        ++m_invalidIds;
        if (m_keepLog) {
            logItem(rawId, std::move(title), ItemFate::InvalidId);
        }
        return;
    }
    std::string id(rawId);
    if (!m_seen.insert(id).second) {
        if (m_keepLog) {
            logItem(rawId, std::move(title), ItemFate::Repeated);
        }
        return;
    }
    m_ids += id;
    m_ids += ',';
    makeStorable(title);
    m_titles += title;
    m_titles += '^';
    if (m_keepLog) {
        m_log.push_back({std::move(id), std::move(title), ItemFate::Listed, {}});
    }
}

void PageParser::logItem(std::string_view id, std::string title, ItemFate fate,
                         std::string_view word)
{
    makeStorable(title);
    m_log.push_back({std::string(id), std::move(title), fate, std::string(word)});
}

void PageParser::logDropped(std::string_view id, std::string title)
{
    // In the order addItem asks.
    std::string_view word = ignoreWordIn(title, m_ignoreWords);
    if (word.empty()) {
        word = ignoreWordIn(title, m_extraIgnoreWords);
    }
    // The words point into the parser's own lists, not into title.
    if (!word.empty()) {
        logItem(id, std::move(title), ItemFate::IgnoredWord, word);
        return;
    }
    if (const std::string_view missing = missingWordIn(title, m_mustWords); !missing.empty()) {
        logItem(id, std::move(title), ItemFate::MissingWord, missing);
        return;
    }
    logItem(id, std::move(title), ItemFate::InvalidId);
}

std::vector<std::string> PageParser::lastPageIds() const
{
    std::vector<std::string> ids;
    std::size_t from = m_pageStart;
    for (std::size_t comma = m_ids.find(',', from); comma != std::string::npos;
         comma = m_ids.find(',', from)) {
        ids.emplace_back(m_ids, from, comma - from);
        from = comma + 1;
    }
    return ids;
}

std::string PageParser::idList() const
{
    return m_ids.empty() ? std::string() : m_ids.substr(0, m_ids.size() - 1);
}

} // namespace tw
