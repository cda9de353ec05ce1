// Raising the events of _IPkiAuthenticationPluginEvents on a snapshot of the
// event connection point's sinks. Each routine walks the sinks in slot order,
// skips those unadvised since the snapshot was taken, builds the arguments
// fresh for each sink and stops at the first sink whose Invoke fails; it
// returns that failure, the last sink's result, or S_OK when no sink is
// connected. No caller looks at the result. When `cutOff` is given and says
// so, the pass calls no further sink.
#pragma once

#include <windows.h>
#include <oleauto.h>

#include "plugin/dispids.h"
#include "plugin/sink_snapshot.h"
#include "win/com_ptr.h"

namespace quorvex {

// Asked before each sink call of a pass, on the raising thread.
class PassCutOff {
public:
    // True once no further sink may be called.
    virtual bool cutOff() const noexcept = 0;

protected:
    ~PassCutOff() = default;
};

HRESULT RaiseStatusChanged(const SinkSnapshot& sinks, LONG statusCode, const PassCutOff* cutOff = nullptr);
// The strings stay owned by the caller.
HRESULT RaiseDataReady(const SinkSnapshot& sinks, BSTR smartCardName, BSTR smartCardReader, BSTR cspName,
                       const PassCutOff* cutOff = nullptr);
HRESULT RaiseFailed(const SinkSnapshot& sinks, LONG statusCode, const PassCutOff* cutOff = nullptr);

// The category that SendStatusChanged adds to a status id (0 for 197: no event).
LONG StatusCategory(LONG statusId) noexcept;
// SendStatusChanged's body, for callers that hold a snapshot (the capture worker).
void SendStatusChangedTo(const SinkSnapshot& sinks, LONG statusId, const PassCutOff* cutOff = nullptr);

}  // namespace quorvex
