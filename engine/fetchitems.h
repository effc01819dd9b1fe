#pragma once

#include <string>
#include <string_view>

namespace tw {

class CCore;
class HttpSession;

// The result of fetching one watch's result pages.
struct FetchOutcome
{
    // Ids in order of first appearance, joined by ",", no final ",".
    std::string ids;
    // A download failed: ids holds what the pages before it gave, and the
    // caller must not take the check as complete.
    bool failed = false;
    std::string error;
};

// What fetchItems needs from the worker.
struct FetchContext
{
    CCore& core;
    HttpSession& session;
    const std::string& pageFile;
    const std::string& titlesFile;
    const std::string& ignoreWords;
};

// The watch url with the scheme switch and "&vk1=" plus a random number.
std::string prepareRequestUrl(CCore& core, std::string_view url);

// Up to 8 result pages of requestUrl: writes the titles text to titlesFile
// and returns the id list.
FetchOutcome fetchItems(const FetchContext& ctx, const std::string& requestUrl);

} // namespace tw
