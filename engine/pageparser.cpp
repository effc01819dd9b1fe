#include "pageparser.h"

#include "fetchitems.h"

#include <algorithm>
#include <cstring>

namespace tw {

namespace {

constexpr std::string_view kBlockStart = "{\"p4pTags";
constexpr std::string_view kBlockEnd = ",\"shopLink";
constexpr std::string_view kIdStart = "nid\":\"";
constexpr std::string_view kIdEnd = "\"";
constexpr std::string_view kTitleStart = "raw_title\":\"";
constexpr std::string_view kTitleEnd = "\",";

// memmem outruns string_view::find here: the markers start with '{' and ','
// which a JSON page is full of.
std::size_t findText(std::string_view text, std::string_view what, std::size_t from)
{
    if (from > text.size()) {
        return std::string_view::npos;
    }
    const void* hit = memmem(text.data() + from, text.size() - from, what.data(), what.size());
    return hit ? static_cast<std::size_t>(static_cast<const char*>(hit) - text.data())
               : std::string_view::npos;
}

// The text after the first begin up to the next end; "" without begin, the
// rest of s when no end follows (as the utility library's getStrPart).
std::string_view part(std::string_view s, std::string_view begin, std::string_view end)
{
    const std::size_t b = findText(s, begin, 0);
    if (b == std::string_view::npos) {
        return {};
    }
    const std::size_t from = b + begin.size();
    const std::size_t e = findText(s, end, from);
    return s.substr(from, e == std::string_view::npos ? s.size() - from : e - from);
}

} // namespace

PageParser::PageParser(std::string_view ignoreWords) : m_ignoreWords(ignoreWords) {}

bool PageParser::addPage(std::string_view page)
{
    std::size_t p = findText(page, kBlockStart, 0);
    if (p == std::string_view::npos) {
        return false;
    }
    while (p != std::string_view::npos) {
        const std::size_t q = findText(page, kBlockEnd, p);
        if (q == std::string_view::npos) {
            // A block that never ends: a cut page. What follows is not an item.
            break;
        }
        const std::size_t from = p + kBlockStart.size();
        addItem(page.substr(from, q - from));
        p = findText(page, kBlockStart, q);
    }
    return true;
}

void PageParser::addItem(std::string_view block)
{
    const std::string_view id = part(block, kIdStart, kIdEnd);
    const std::string_view title = part(block, kTitleStart, kTitleEnd);
    if (isIgnoredTitle(title, m_ignoreWords)) {
        return;
    }
    // A "," inside an id would split it in two in the id list and shift every
    // later title against its id.
    if (id.empty() || id.find(',') != std::string_view::npos) {
        return;
    }
    if (!m_seen.emplace(id).second) {
        return;
    }
    m_ids.append(id);
    m_ids += ',';
    const std::size_t at = m_titles.size();
    m_titles.append(title);
    // The titles text is cut at "^" to pair titles with ids by position.
    std::replace(m_titles.begin() + static_cast<std::ptrdiff_t>(at), m_titles.end(), '^', ' ');
    m_titles += '^';
}

std::string PageParser::idList() const
{
    return m_ids.empty() ? std::string() : m_ids.substr(0, m_ids.size() - 1);
}

} // namespace tw
