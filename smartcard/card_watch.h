// The card watch that a capture worker runs once: wait for a card in one of
// the stored readers, connect to it, identify it and raise DataReady.
#pragma once

#include <windows.h>
#include <winscard.h>

#include <vector>

#include "logging/trace_scope.h"
#include "smartcard/card_watch_host.h"
#include "smartcard/pcsc.h"

namespace quorvex {

// Ends after DataReady, after a Failed event, or quietly when stopped.
void SendDataReadyEventForCurrentCard(CardWatchHost& host);

// The watch context of one run, registered with the host so that a
// timed-out stop can cancel it. The registration is withdrawn before the
// context is released.
class WatchContext {
public:
    explicit WatchContext(CardWatchHost& host) noexcept : host_(host) {}
    ~WatchContext() { Release(); }
    WatchContext(const WatchContext&) = delete;
    WatchContext& operator=(const WatchContext&) = delete;

    LONG Establish() noexcept;
    LONG Release() noexcept;
    SCARDCONTEXT get() const noexcept { return context_.get(); }

private:
    CardWatchHost& host_;
    ScardContext context_;
};

// Identification of the card just connected, from the card status to the
// release of the watch context; the last stage of SendDataReadyEventForCurrentCard.
// `readerStates` is released first; `card` and `context` are released on every
// way out.
void IdentifyCardAndSendDataReady(CardWatchHost& host, TraceScope& scope, WatchContext& context, ScardCard& card,
                                  std::vector<SCARD_READERSTATEW>& readerStates);

}  // namespace quorvex
