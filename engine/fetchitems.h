#pragma once

#include "core/result.h"

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace tw {

class CCore;
class HttpSession;
class PageParser;
struct HttpAnswer;
struct ItemRow;

// Why a check looks blocked rather than quiet.
enum class BlockCause {
    None,
    OtherHost, // redirected to another host: a login or verification page
    Status,    // answered 401, 403 or 429
    NoResults, // the first page has no result list though earlier checks had one
};

// The result of fetching one watch's result pages.
struct FetchOutcome
{
    // Ids in order of first appearance, joined by ",", no final ",".
    std::string ids;
    // The titles text written to titlesFile.
    std::string titles;
    // A download failed: ids holds what the pages before it gave, and the
    // caller must not take the check as complete. When the titles could not
    // be written, ids is empty.
    bool failed = false;
    std::string error;
    // Pages downloaded whole, and the items they listed.
    int pages = 0;
    std::size_t items = 0;
    // Items dropped for an id that is no usable text (PageParser::invalidIds).
    std::size_t invalidIds = 0;
    // Of the failed download: its status (0: none) and Retry-After header.
    long httpStatus = 0;
    std::string retryAfter;
    BlockCause blocked = BlockCause::None;
    // The first page came whole but held no item block: an empty search, or
    // a wall when the watch has listed items before (the caller knows).
    bool firstPageEmpty = false;
};

// What fetchItems needs from the worker.
struct FetchContext
{
    CCore& core;
    HttpSession& session;
    const std::string& pageFile;
    const std::string& titlesFile;
    const std::string& ignoreWords;
    // The watch's own words (watchoptions::words lists): more to ignore, and
    // those every listed title must hold.
    std::string extraIgnoreWords = {};
    std::string mustWords = {};
    // Asked after each page with the ids it added; true ends the paging
    // there. Empty: every page is fetched.
    std::function<bool(const std::vector<std::string>& pageIds)> stopAfterPage = {};
    // Where the pages are held while parsed; the worker passes one it keeps,
    // so that its memory is reused from check to check. nullptr: a local one.
    std::string* pageBuffer = nullptr;
};

// The watch url with the scheme switch and "&vk1=" plus a random number.
std::string prepareRequestUrl(CCore& core, std::string_view url);

// Pairs the ids of an id list with the titles of a titles text by position.
std::vector<ItemRow> listedItems(std::string_view ids, std::string_view titles);

// Up to 8 result pages (resultpages.h) of requestUrl: writes the titles text to titlesFile
// and returns the id list.
FetchOutcome fetchItems(const FetchContext& ctx, const std::string& requestUrl);

// The steps of fetchItems that the checks in flight together share.
// True when the answer to pageUrl ends the check: a failed download or a
// redirect to another host; outcome then says why.
bool answerFailed(FetchOutcome& outcome, const std::string& pageUrl, const Result<long>& download,
                  const HttpAnswer& answer);
// Writes the page a check ended on to pageFile; when that fails, outcome
// says so and the check is failed.
void writeLastPage(FetchOutcome& outcome, const std::string& pageFile, const std::string& pageUrl,
                   std::string_view page);
// The end of a check's pages: the id list and titles from parser, the
// titles text written to titlesFile, pageFile emptied after a failure.
void finishOutcome(FetchOutcome& outcome, const PageParser& parser, const std::string& pageFile,
                   const std::string& titlesFile);

} // namespace tw
