// Placeholder: the events work replaces this file.
#include "plugin/event_source.h"
#include "plugin/smart_card_auth_plugin.h"

namespace quorvex {

void CSmartCardAuthPlugin::SendStatusChanged(LONG) {}
HRESULT CSmartCardAuthPlugin::FireStatusChanged(LONG) { return S_OK; }
HRESULT CSmartCardAuthPlugin::FireDataReady(BSTR, BSTR, BSTR) { return S_OK; }
HRESULT CSmartCardAuthPlugin::FireFailed(LONG) { return S_OK; }
LONG StatusCategory(LONG) noexcept { return 0; }
void SendStatusChangedTo(const SinkSnapshot&, LONG) {}
HRESULT RaiseStatusChanged(const SinkSnapshot&, LONG) { return S_OK; }
HRESULT RaiseDataReady(const SinkSnapshot&, BSTR, BSTR, BSTR) { return S_OK; }
HRESULT RaiseFailed(const SinkSnapshot&, LONG) { return S_OK; }

}  // namespace quorvex
