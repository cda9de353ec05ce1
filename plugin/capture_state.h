// The state of one capture worker, and the table of what each verb makes of
// it. One value answers every question the threads ask of a capture: may the
// run go on reporting, has a stop asked it to end, does a StartCapture restart
// it, may it still reach its object.
#pragma once

#include <cstdint>

namespace quorvex {

enum class CaptureState : std::uint8_t {
    Watching,            // a run is under way; StartCapture is refused
    Ending,              // the run has raised its final event; StartCapture restarts it
    Restarting,          // ... and a StartCapture has asked for the next run
    Stopping,            // a stop asked the run to end at its next look
    Silenced,            // stopped from inside its own event: raises and connects nothing more
    SilencedRestarting,  // ... and a StartCapture has asked for the next run
    Abandoned,           // a stop gave up on it, or its object died under it: cut off for good
    Ended,               // the worker's last run is over
    Invalid,             // in the table only: no run can meet this verb in this state
};

enum class CaptureVerb : std::uint8_t {
    FinalEvent,  // the run is about to raise Failed or DataReady
    Restart,     // StartCapture while the worker exists
    Stop,        // the stop procedure asks the run to end
    Silence,     // a stop made on the worker's own thread, which cannot wait for it
    Abandon,     // a stop that gave up waiting, or the object destroyed on the worker's thread
    RunEnd,      // a run has ended completely: the next one begins, or the worker ends
};

constexpr int kCaptureStates = 8;
constexpr int kCaptureVerbs = 6;

namespace capture_table {
using S = CaptureState;
// clang-format off
// Rows: verbs; columns: states in declaration order. A verb that leaves the
// state as it is was refused (Restart) or had nothing left to do.
inline constexpr CaptureState kNext[kCaptureVerbs][kCaptureStates] = {
    //              Watching    Ending        Restarting    Stopping    Silenced               SilencedRestarting     Abandoned     Ended
    /* FinalEvent */ {S::Ending, S::Ending, S::Restarting, S::Stopping, S::Silenced, S::SilencedRestarting, S::Abandoned, S::Invalid},
    /* Restart    */ {S::Watching, S::Restarting, S::Restarting, S::Stopping, S::SilencedRestarting, S::SilencedRestarting, S::Abandoned, S::Ended},
    /* Stop       */ {S::Stopping, S::Stopping, S::Stopping, S::Stopping, S::Silenced, S::Silenced, S::Abandoned, S::Ended},
    /* Silence    */ {S::Silenced, S::Silenced, S::Silenced, S::Silenced, S::Silenced, S::Silenced, S::Abandoned, S::Invalid},
    /* Abandon    */ {S::Abandoned, S::Abandoned, S::Abandoned, S::Abandoned, S::Abandoned, S::Abandoned, S::Abandoned, S::Ended},
    /* RunEnd     */ {S::Ended, S::Ended, S::Watching, S::Ended, S::Ended, S::Watching, S::Ended, S::Invalid},
};
// clang-format on
}  // namespace capture_table

// Where `verb` takes `state`; Invalid for a pair no run can meet.
constexpr CaptureState NextCaptureState(CaptureState state, CaptureVerb verb) noexcept
{
    return capture_table::kNext[static_cast<int>(verb)][static_cast<int>(state)];
}

// The run may no longer report or connect: it ends at once and only gives
// back what it holds.
constexpr bool CutOff(CaptureState state) noexcept
{
    return state == CaptureState::Silenced || state == CaptureState::SilencedRestarting ||
           state == CaptureState::Abandoned;
}

// The run has been asked to end: it ends quietly at its next look.
constexpr bool StopAsked(CaptureState state) noexcept { return state == CaptureState::Stopping || CutOff(state); }

// A next run's reader table is held.
constexpr bool RestartPending(CaptureState state) noexcept
{
    return state == CaptureState::Restarting || state == CaptureState::SilencedRestarting;
}

// The run may reach the object's reader table and connection point: not once
// a stop gave up on it (the object may be gone), nor after its last run.
constexpr bool ReachesObject(CaptureState state) noexcept
{
    return state != CaptureState::Abandoned && state != CaptureState::Ended;
}

}  // namespace quorvex
