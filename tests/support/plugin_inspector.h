// The tests' window on a plug-in object's state and internal routines: what
// no interface shows (the reader count, the selected index, whether a worker
// runs, whether a stop is under way) and the event raising routines, called
// directly.
#pragma once

#include "plugin/smart_card_auth_plugin.h"
#include "win/srw_lock.h"

namespace quorvex {

class PluginInspector {
public:
    explicit PluginInspector(CSmartCardAuthPlugin& object) noexcept : object_(object) {}

    ULONG readerCount() const noexcept { return object_.readers_.count(); }
    LONG selectedIndex() const noexcept { return object_.readers_.selected(); }
    bool capturing() const noexcept { return object_.capturing(); }
    // A stop procedure (EndCapture or the last release) is running.
    bool stopUnderWay() const noexcept
    {
        const SharedLock guard(object_.captureLock_);
        return object_.stopsUnderWay_ > 0;
    }

    void SendStatusChanged(LONG statusId) { object_.SendStatusChanged(statusId); }
    HRESULT FireStatusChanged(LONG statusCode) { return object_.FireStatusChanged(statusCode); }
    HRESULT FireDataReady(BSTR name, BSTR reader, BSTR csp) { return object_.FireDataReady(name, reader, csp); }
    HRESULT FireFailed(LONG statusCode) { return object_.FireFailed(statusCode); }

private:
    CSmartCardAuthPlugin& object_;
};

}  // namespace quorvex
