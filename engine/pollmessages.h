#pragma once

#include "core/watchroster.h"
#include "engine/watchhealth.h"

#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace tw {

// The message codes the background tasks post; each message type below
// carries its code as a tag.
inline constexpr unsigned WM_USER = 0x0400;
// A check began or ended.
inline constexpr unsigned WM_POLL_PROGRESS = WM_USER + 1;
// The worker ended.
inline constexpr unsigned WM_POLL_DONE = WM_USER + 2;
// The end of a one-off "mark all as seen" check (engine/markseentask.h).
inline constexpr unsigned WM_MARK_SEEN_DONE = WM_USER + 3;

// The watch a message is about: its id, where it was when the message was
// posted, and its URL.
struct WatchRef
{
    WatchId id = 0;
    int slot = -1;
    std::string url;
};

// One item a check reports, with the title its page gave.
struct FoundItem
{
    std::string id;
    std::string title;

    bool operator==(const FoundItem&) const = default;
};

enum class CheckOutcome {
    Done,
    // The check could not be completed (download or database failure); the
    // slot's lastIds was left as it was so the next pass looks again.
    Failed,
    // As Done, for the first check of a watch whose key had nothing stored,
    // with the quiet first check on: its items were stored, none reported.
    Baseline,
    // A stop cut the check short: it claims nothing about the watch.
    Stopped,
};

struct CheckBegan
{
    static constexpr unsigned code = WM_POLL_PROGRESS;
    WatchRef watch;
};

struct CheckEnded
{
    static constexpr unsigned code = WM_POLL_PROGRESS;
    WatchRef watch;
    CheckOutcome outcome = CheckOutcome::Done;
    // The items the check stored and reports, in page order; every one of
    // them. Also after a failure: what the pages before it gave.
    std::vector<FoundItem> items;
    // Items the check stored as found: the reported ones and, with dedupe,
    // those another search had reported. 0 for a quiet first check.
    std::size_t stored = 0;
    // Why the check failed; "" when it did not.
    std::string reason;
    // The watch's record after the check, and the worker's time of day then.
    std::optional<WatchHealth> health;
    WallTime at{};
    // The watch has just come to look blocked: the user should be told once.
    bool blockedNotice = false;
    // The worker ends the run after this check (it reported items and the
    // run does not keep watching): the one place that decides it.
    bool endsRun = false;
    // The watch is muted: its items were stored and are told in silence, with
    // no alarm, page or command; a muted check never ends the run.
    bool muted = false;
    // The watch's own limit of pages opened at an alert; -1: the global one.
    int openLimit = -1;
};

struct RunEnded
{
    static constexpr unsigned code = WM_POLL_DONE;
    // The session could not be opened: no check ran and no slot was touched.
    bool sessionFailed = false;
};

struct MarkingEnded
{
    static constexpr unsigned code = WM_MARK_SEEN_DONE;
    WatchRef watch;
    // Every listed item was stored; else nothing was, for reason.
    bool stored = false;
    std::string reason;
};

// One message from a background task to the window, carrying everything its
// readers need, so that nothing is read back from the task or the store and
// a result reaches its watch even after the list changed.
using PollMessage = std::variant<CheckBegan, CheckEnded, RunEnded, MarkingEnded>;

inline unsigned messageCode(const PollMessage& message)
{
    return std::visit([](const auto& m) { return m.code; }, message);
}

// How the tasks reach the window: posting only, never waiting. The window
// side implements it with posted Qt events; tests record the messages.
class PollSink
{
public:
    virtual ~PollSink() = default;
    // Must be safe to call from any thread.
    virtual void postMessage(PollMessage message) = 0;
};

} // namespace tw
