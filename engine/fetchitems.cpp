#include "engine/fetchitems.h"

#include "core/text.h"
#include "core/zuvira.h"
#include "engine/httpsession.h"
#include "engine/pagefile.h"
#include "engine/pageparser.h"
#include "engine/resultpages.h"
#include "engine/sessioncheck.h"
#include "store/itemdb.h"

#include <tuple>

namespace tw {

namespace {

constexpr std::size_t kKeptPageBytes = 1024 * 1024;

// What a refusal means to the user; "" for a status that is no refusal.
std::string refusalText(long status)
{
    switch (status) {
    case 401:
        return "（需要登录，疑似被拦截）";
    case 403:
        return "（拒绝访问，疑似被拦截）";
    case 429:
        return "（请求过多，疑似被拦截）";
    default:
        return {};
    }
}

} // namespace

bool answerFailed(FetchOutcome& outcome, const std::string& pageUrl, const Result<long>& download,
                  const HttpAnswer& answer)
{
    // A redirect the session refused (file://, say) has no host: its own
    // failure tells more.
    if (const std::string host = urlHost(answer.finalUrl);
        answer.redirectCount > 0 && !host.empty() && host != urlHost(pageUrl)) {
        // Marketplaces send a search they will not answer to a login or
        // verification page elsewhere; its page is not a result page.
        outcome.failed = true;
        outcome.blocked = BlockCause::OtherHost;
        outcome.httpStatus = answer.status;
        outcome.error = pageUrl + ": 被重定向到其他网站 " + host + "（疑似登录或验证页）";
        return true;
    }
    if (!download) {
        outcome.failed = true;
        const std::string refusal = refusalText(answer.status);
        outcome.error = pageUrl + ": " + download.error() + refusal;
        outcome.httpStatus = answer.status;
        outcome.retryAfter = answer.retryAfter;
        if (!refusal.empty()) {
            outcome.blocked = BlockCause::Status;
        }
        return true;
    }
    return false;
}

void writeLastPage(FetchOutcome& outcome, const std::string& pageFile, const std::string& pageUrl,
                   std::string_view page)
{
    // Only the check's last page is written: the file is what the check
    // downloaded last, and 130 KB written per page cost a pass as much as
    // its parsing.
    if (Result<void> written = writePageFile(pageFile, page); !written) {
        outcome.failed = true;
        outcome.error = pageUrl + ": " + written.error();
    }
}

void finishOutcome(FetchOutcome& outcome, const PageParser& parser, const std::string& pageFile,
                   const std::string& titlesFile)
{
    if (outcome.failed) {
        // Whatever pageFile holds now is not the page that failed.
        std::ignore = writePageFile(pageFile, {});
    }
    outcome.ids = parser.idList();
    outcome.titles = parser.titles();
    outcome.items = parser.count();
    outcome.invalidIds = parser.invalidIds();
    if (!CCore::outTxtFile(outcome.titles, titlesFile)) {
        // The titles are read back by position: a stale or cut file would
        // store items under wrong or empty titles, for good. So no id is
        // handed on: the next check finds them all again.
        outcome.ids.clear();
        outcome.failed = true;
        if (!outcome.error.empty()) {
            outcome.error += "; ";
        }
        outcome.error += "cannot write " + titlesFile;
    }
}

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
    PageParser parser(ctx.ignoreWords, ctx.extraIgnoreWords, ctx.mustWords);
    std::string localPage;
    std::string& page = ctx.pageBuffer ? *ctx.pageBuffer : localPage;
    const auto pageUrlAt = [&](int offset) {
        return requestUrl + "&s=" + CCore::getStrInt(offset);
    };
    std::string pageUrl = pageUrlAt(0);
    ctx.session.request(pageUrl);
    for (int offset = 0; offset < kOffsetLimit; offset += kPageSize) {
        const Result<long> download = ctx.session.receive(page);
        if (answerFailed(outcome, pageUrl, download, ctx.session.lastAnswer())) {
            break;
        }
        ++outcome.pages;
        // The next page is asked for before this one is written and parsed,
        // so that the server prepares it meanwhile. It is the request the
        // loop makes anyway: only a page with items is followed by another,
        // and where the page's ids decide, they are looked at first.
        const int next = offset + kPageSize;
        const bool more = next < kOffsetLimit && PageParser::holdsItems(page);
        const std::string nextUrl = more ? pageUrlAt(next) : std::string();
        const bool askedAhead = more && !ctx.stopAfterPage;
        if (askedAhead) {
            ctx.session.request(nextUrl);
        }
        // Parsed from the bytes kept in memory and counted against the cap
        // as they came: the file is not read back, so nobody else's write to
        // it can reach the parser.
        const bool holdsItems = parser.addPage(page);
        const bool last =
            !holdsItems || !more || (ctx.stopAfterPage && ctx.stopAfterPage(parser.lastPageIds()));
        if (!last) {
            if (ctx.stopAfterPage) {
                ctx.session.request(nextUrl);
            }
            pageUrl = nextUrl;
            continue;
        }
        if (askedAhead) {
            ctx.session.cancel();
        }
        writeLastPage(outcome, ctx.pageFile, pageUrl, page);
        outcome.firstPageEmpty = !outcome.failed && !holdsItems && outcome.pages == 1;
        break;
    }
    // A page far beyond a result page's size is not kept between checks.
    if (page.capacity() > kKeptPageBytes) {
        std::string().swap(page);
    }
    finishOutcome(outcome, parser, ctx.pageFile, ctx.titlesFile);
    return outcome;
}

} // namespace tw
