#pragma once

#include <cstdint>

namespace tw {

inline constexpr unsigned WM_USER = 0x0400;
// wParam: one of PollProgress; lParam: the slot index.
inline constexpr unsigned WM_POLL_PROGRESS = WM_USER + 1;
// wParam 0; lParam 0 after a stop, -1 when the session could not be opened.
inline constexpr unsigned WM_POLL_DONE = WM_USER + 2;

// The end of a one-off "mark all as seen" check (engine/markseentask.h):
// wParam 1 when its items were stored, 0 when it failed; lParam: the slot.
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
};

// How the worker reaches the window: posting only, never waiting. The window
// implements it with posted Qt events; tests record the messages.
class PollSink
{
public:
    virtual ~PollSink() = default;
    // Must be safe to call from the worker thread.
    virtual void postMessage(unsigned msg, std::intptr_t wParam, std::intptr_t lParam) = 0;
};

} // namespace tw
