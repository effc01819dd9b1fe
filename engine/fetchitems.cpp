#include "engine/fetchitems.h"

#include "core/fileio.h"
#include "core/text.h"
#include "core/zuvira.h"
#include "engine/httpsession.h"
#include "engine/pageparser.h"
#include "store/itemdb.h"

#include <cstdint>

namespace tw {

namespace {

constexpr int kPageSize = 40;
constexpr int kOffsetLimit = 320;

} // namespace

std::string prepareRequestUrl(CCore& core, std::string_view url)
{
    constexpr std::string_view from = "http://s.";
    constexpr std::string_view to = "https://s.";
    std::string request;
    request.reserve(url.size() + 20);
    std::size_t done = 0;
    for (std::size_t at = url.find(from); at != std::string_view::npos; at = url.find(from, done)) {
        request.append(url.substr(done, at - done));
        request.append(to);
        done = at + from.size();
    }
    request.append(url.substr(done));

    core.vkseed();
    const int n = core.getRandInt(100000, 990000);
    request += "&vk1=";
    request += CCore::getStrInt(n);
    return request;
}

std::vector<ItemRow> listedItems(std::string_view ids, std::string_view titles)
{
    std::vector<ItemRow> items;
    if (ids.empty()) {
        return items;
    }
    const std::vector<std::string_view> idFields = text::splitFields(ids, ',');
    const std::vector<std::string_view> titleFields = text::splitFields(titles, '^');
    items.reserve(idFields.size());
    for (std::size_t n = 0; n < idFields.size(); ++n) {
        items.push_back(
            {std::string(idFields[n]),
             std::string(n < titleFields.size() ? titleFields[n] : std::string_view())});
    }
    return items;
}

FetchOutcome fetchItems(const FetchContext& ctx, const std::string& requestUrl)
{
    FetchOutcome outcome;
    PageParser parser(ctx.ignoreWords);
    for (int offset = 0; offset < kOffsetLimit; offset += kPageSize) {
        const std::string pageUrl = requestUrl + "&s=" + CCore::getStrInt(offset);
        const Result<long> download = ctx.session.download(pageUrl, ctx.pageFile);
        if (!download) {
            // Whatever pageFile holds now is not this page: never parse it.
            outcome.failed = true;
            outcome.error = pageUrl + ": " + download.error();
            break;
        }
        // The session keeps the file within the cap, but someone else may
        // have written it meanwhile: never read more than a page may hold.
        const long long cap = ctx.session.settings().maxPageBytes;
        const CappedRead page =
            readFileCapped(ctx.pageFile, cap > 0 ? static_cast<std::size_t>(cap) : SIZE_MAX);
        if (page.tooLarge) {
            outcome.failed = true;
            outcome.error = pageUrl + ": " + pageTooLargeReason(cap);
            break;
        }
        if (!parser.addPage(page.content)) {
            break;
        }
        if (ctx.stopAfterPage && ctx.stopAfterPage(parser.lastPageIds())) {
            break;
        }
    }
    outcome.ids = parser.idList();
    outcome.titles = parser.titles();
    if (!CCore::outTxtFile(parser.titles(), ctx.titlesFile)) {
        // The titles are read back by position: stale ones would misname items.
        outcome.failed = true;
        if (!outcome.error.empty()) {
            outcome.error += "; ";
        }
        outcome.error += "cannot write " + ctx.titlesFile;
    }
    return outcome;
}

} // namespace tw
