#pragma once

#include "engine/watchhealth.h"

#include <cstdint>
#include <optional>
#include <string>

namespace tw {

inline constexpr unsigned WM_USER = 0x0400;
// A check began or ended: progress is one of PollProgress.
inline constexpr unsigned WM_POLL_PROGRESS = WM_USER + 1;
// The worker ended: progress 0 after a stop, -1 when the session could not be opened.
inline constexpr unsigned WM_POLL_DONE = WM_USER + 2;
// The end of a one-off "mark all as seen" check (engine/markseentask.h):
// progress 1 when its items were stored, 0 when it failed.
inline constexpr unsigned WM_MARK_SEEN_DONE = WM_USER + 3;

enum PollProgress : std::intptr_t {
    PROGRESS_BEGIN = 1,
    PROGRESS_DONE = 2,
    // The check could not be completed (download or database failure); the
    // slot's lastIds was left as it was so the next pass looks again.
    PROGRESS_FAILED = 3,
    // As PROGRESS_DONE, for the first check of a watch whose key had nothing
    // stored, with the quiet first check on: its items were stored, none
    // reported.
    PROGRESS_BASELINE = 4,
    // A stop cut the check short: it claims nothing about the watch.
    PROGRESS_STOPPED = 5,
};

// One message from a background task to the window, carrying what it is
// about, so that the window never reads anything back from the task and a
// result reaches the watch it is about even after the list was replaced.
struct PollMessage
{
    unsigned code = 0;
    std::intptr_t progress = 0;
    // Where the watch was when the message was posted, and the watch itself.
    int slot = -1;
    std::string url;
    // The items the check stored and reports, in page order; every one of
    // them, not only what fits a slot's field.
    std::string newIds;
    // Why the check failed; "" when it did not.
    std::string reason;
    // The watch's record after the check, and the worker's time of day then.
    std::optional<WatchHealth> health;
    WallTime at{};
    // The watch has just come to look blocked: the user should be told once.
    bool blockedNotice = false;

    static PollMessage progressOf(std::intptr_t progress, int slot, std::string url)
    {
        PollMessage m;
        m.code = WM_POLL_PROGRESS;
        m.progress = progress;
        m.slot = slot;
        m.url = std::move(url);
        return m;
    }
    static PollMessage done(std::intptr_t progress)
    {
        PollMessage m;
        m.code = WM_POLL_DONE;
        m.progress = progress;
        return m;
    }
};

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
