#define QV_LOG_SOURCE "SmartCardAuthPlugin.cpp"
#include "logging/log.h"
#include "plugin/event_source.h"
#include "plugin/smart_card_auth_plugin.h"
#include "win/hresult.h"
#include "win/status_ids.h"

namespace quorvex {

namespace {

// Support staff know SendStatusChanged's entry record by this position.
constexpr int kSendStatusChangedLine = 665;

// Event passes made from the host's thread; a snapshot that cannot be taken
// loses the event, like an event no sink accepts.
template <typename Raise>
HRESULT RaiseOnSnapshot(ConnectionPoint& point, Raise raise) noexcept
{
    return ComBoundary([&] { return raise(point.Snapshot()); });
}

}  // namespace

LONG StatusCategory(LONG statusId) noexcept
{
    switch (statusId) {
    case status::kCardIdentified: return 0;
    case status::kCaptureStarted:
    case status::kCardRemoved: return 0x2000;
    case status::kUnknownCard:
    case status::kCardUnresponsive:
    case status::kCardUnsupported: return 0x5000;
    case status::kCaptureNotStarted: return 0x4000;
    case status::kReaderUnavailable: return 0x7000;
    case status::kUnknownCardNotice: return 0x8000;
    default: return 0x1000;
    }
}

void SendStatusChangedTo(const SinkSnapshot& sinks, LONG statusId, const PassCutOff* cutOff)
{
    TraceScope scope;
    if (LogLevelReached(3)) {
        TraceEnter(SetTracePosition(scope, QV_LOG_SOURCE, kSendStatusChangedLine),
                   "CSmartCardAuthPlugin::SendStatusChanged(0x%X)", static_cast<unsigned>(statusId));
    }
    // 197 marks a card fully identified: worth a trace, not an event.
    if (statusId == status::kCardIdentified) return;
    RaiseStatusChanged(sinks, statusId | StatusCategory(statusId), cutOff);
}

void CSmartCardAuthPlugin::SendStatusChanged(LONG statusId)
{
    // No memory for the snapshot: the status is lost, nothing else changes.
    NoThrow([&] { SendStatusChangedTo(eventPoint_.Snapshot(), statusId); });
}

HRESULT CSmartCardAuthPlugin::FireStatusChanged(LONG statusCode)
{
    return RaiseOnSnapshot(eventPoint_,
                           [&](const SinkSnapshot& sinks) { return RaiseStatusChanged(sinks, statusCode); });
}

HRESULT CSmartCardAuthPlugin::FireDataReady(BSTR smartCardName, BSTR smartCardReader, BSTR cspName)
{
    return RaiseOnSnapshot(eventPoint_, [&](const SinkSnapshot& sinks) {
        return RaiseDataReady(sinks, smartCardName, smartCardReader, cspName);
    });
}

HRESULT CSmartCardAuthPlugin::FireFailed(LONG statusCode)
{
    return RaiseOnSnapshot(eventPoint_, [&](const SinkSnapshot& sinks) { return RaiseFailed(sinks, statusCode); });
}

}  // namespace quorvex
