#include "engine/trialcheck.h"

#include "core/text.h"
#include "core/zuvira.h"
#include "engine/fetchitems.h"
#include "engine/pageparser.h"
#include "engine/pollclock.h"
#include "engine/pollmessages.h"
#include "engine/resultpages.h"
#include "engine/sessioncheck.h"
#include "store/itemdb.h"
#include "store/itemdbsession.h"

#include <exception>
#include <string_view>
#include <unordered_set>
#include <utility>

namespace tw {

namespace {

// The trial hands its result to its completion: no window sink hears of it.
class NoMessages final : public PollSink
{
public:
    void postMessage(PollMessage) override {}
};

PollSink& noMessages()
{
    static NoMessages sink;
    return sink;
}

void addFailure(TrialResult& result, const std::string& error)
{
    result.failed = true;
    result.error += (result.error.empty() ? "" : "; ") + error;
}

} // namespace

std::string verdictText(const TrialItem& item)
{
    switch (item.verdict) {
    case TrialVerdict::New:
        return "新";
    case TrialVerdict::Seen:
        return "已见";
    case TrialVerdict::Ignored:
        return "被忽略：词 " + item.word;
    case TrialVerdict::MissingWord:
        return "缺少必须词 " + item.word;
    case TrialVerdict::Repeated:
        return "重复";
    case TrialVerdict::ReportedElsewhere:
        return "已在其他搜索中提醒";
    case TrialVerdict::Baseline:
        return "首次检测：作为基线";
    }
    return {};
}

TrialCheck::TrialCheck(TrialRequest request, CItemDb& db, CCore& core, Completion done)
    : BackgroundTask(noMessages()), m_request(std::move(request)), m_db(db), m_core(core),
      m_done(std::move(done))
{}

TrialCheck::~TrialCheck()
{
    abort();
    join();
}

void TrialCheck::wake()
{
    // Under the lock, so that a waitTurn between its look at the flag and
    // its wait cannot miss the notice.
    std::lock_guard lock(m_waitMutex);
    m_wake.notify_all();
}

void TrialCheck::run()
{
    TrialResult result;
    if (m_request.restingUntil && *m_request.restingUntil > wallNow()) {
        result.restingUntil = m_request.restingUntil;
    } else if (!openSession(m_request.openSession, m_request.session)) {
        addFailure(result, "no internet session");
    } else {
        check(*session(), result);
    }
    closeSession();
    result.cancelled = aborted();
    if (m_done) {
        m_done(std::move(result));
    }
}

void TrialCheck::check(HttpSession& session, TrialResult& result)
{
    const WatchOptions& options = m_request.options;
    PageParser parser(m_request.settings.ignoreWords,
                      watchoptions::words(options.ignore.value_or(std::string())),
                      watchoptions::words(options.must.value_or(std::string())));
    parser.keepItemLog();
    try {
        walkPages(session, parser, result);
        if (!aborted()) {
            judge(parser, result);
        }
    } catch (const std::exception& e) {
        addFailure(result, e.what());
    }
}

void TrialCheck::walkPages(HttpSession& session, PageParser& parser, TrialResult& result)
{
    const std::string requestUrl = prepareRequestUrl(m_core, m_request.url);
    std::string body;
    // Every page a check may read, as fetchItems walks them, one at a time:
    // each waits for its turn under the rate.
    for (int offset = 0; offset < kOffsetLimit; offset += kPageSize) {
        const std::string pageUrl = requestUrl + "&s=" + CCore::getStrInt(offset);
        if (!waitTurn(urlHost(pageUrl))) {
            return;
        }
        const auto began = std::chrono::steady_clock::now();
        session.request(pageUrl);
        const Result<long> download = session.receive(body);
        if (aborted()) {
            return;
        }
        TrialPage& page = result.pages.emplace_back();
        page.offset = offset;
        page.status = session.lastAnswer().status;
        page.time = std::chrono::duration_cast<std::chrono::milliseconds>(
            std::chrono::steady_clock::now() - began);
        FetchOutcome outcome;
        if (answerFailed(outcome, pageUrl, download, session.lastAnswer())) {
            page.error = outcome.error;
            addFailure(result, outcome.error);
            return;
        }
        const std::size_t before = parser.itemLog().size();
        const bool holdsItems = parser.addPage(body);
        page.items = parser.itemLog().size() - before;
        if (!holdsItems) {
            return;
        }
    }
}

bool TrialCheck::waitTurn(const std::string& host)
{
    RequestPacer& pacer = m_request.pacer ? *m_request.pacer : m_ownPacer;
    const auto wait =
        pacer.reserve(host, m_request.settings.maxrate, std::chrono::steady_clock::now());
    std::unique_lock lock(m_waitMutex);
    m_wake.wait_for(lock, wait, [this] { return aborted(); });
    return !aborted();
}

bool TrialCheck::isBaseline() const
{
    // As CPollThread::isBaseline, with the watch's own setting first.
    const bool on = m_request.options.baseline.value_or(m_request.settings.baseline != 0);
    return on && !m_db.hadFirstCheck(m_request.sid) && !m_db.hasItems(m_request.sid);
}

void TrialCheck::judge(const PageParser& parser, TrialResult& result)
{
    const std::vector<PageParser::LoggedItem>& log = parser.itemLog();
    // What NewItemFinder asks, in the same order: the previous check's ids,
    // then the key's store, then (dedupe) every key's reported items.
    const bool baseline = isBaseline();
    std::unordered_set<std::string_view> last;
    for (const std::string_view id : text::splitFields(m_request.lastIds, ',')) {
        last.insert(id);
    }
    std::unordered_set<std::string> under;
    std::unordered_set<std::string> elsewhere;
    if (!baseline) {
        std::vector<std::string_view> ask;
        for (const PageParser::LoggedItem& item : log) {
            if (item.fate == PageParser::ItemFate::Listed && !last.contains(item.id)) {
                ask.push_back(item.id);
            }
        }
        ItemDbSession store(m_db);
        under = store.storedUnder(m_request.sid, ask);
        if (m_request.settings.dedupe != 0) {
            std::erase_if(ask,
                          [&](std::string_view id) { return under.contains(std::string(id)); });
            elsewhere = store.reportedAnywhere(ask);
        }
    }

    for (const PageParser::LoggedItem& logged : log) {
        TrialItem item{logged.id, logged.title, TrialVerdict::New, {}};
        switch (logged.fate) {
        case PageParser::ItemFate::InvalidId:
            ++result.invalidIds;
            continue;
        case PageParser::ItemFate::IgnoredWord:
            item.verdict = TrialVerdict::Ignored;
            item.word = logged.word;
            break;
        case PageParser::ItemFate::MissingWord:
            item.verdict = TrialVerdict::MissingWord;
            item.word = logged.word;
            break;
        case PageParser::ItemFate::Repeated:
            item.verdict = TrialVerdict::Repeated;
            break;
        case PageParser::ItemFate::Listed:
            if (baseline) {
                item.verdict = TrialVerdict::Baseline;
            } else if (last.contains(logged.id) || under.contains(logged.id)) {
                item.verdict = TrialVerdict::Seen;
            } else if (elsewhere.contains(logged.id)) {
                item.verdict = TrialVerdict::ReportedElsewhere;
            }
            break;
        }
        result.items.push_back(std::move(item));
    }
}

WallTime TrialCheck::wallNow() const
{
    return m_request.clock ? m_request.clock->wallNow() : std::chrono::system_clock::now();
}

} // namespace tw
