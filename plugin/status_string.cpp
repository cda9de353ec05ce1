// GetStatusString: a status code as the text the resource library holds for it.
#include "plugin/smart_card_auth_plugin.h"
#include "resources/status_text.h"
#include "win/hresult.h"
#include "win/unique_bstr.h"

namespace quorvex {

// No log record and no event: the host may call this for every status it
// shows.
STDMETHODIMP CSmartCardAuthPlugin::GetStatusString(LONG statusCode, BSTR* statusString, LONG* returnCode)
{
    if (!statusString || !returnCode) return E_POINTER;
    // Even the fixed fallback text counts as an answer.
    *returnCode = 0;
    const HRESULT hr = ComBoundary([&]() -> HRESULT {
        UniqueBstr text = MakeBstr(StatusText(statusCode));
        if (!text) return E_OUTOFMEMORY;
        *statusString = text.release();
        return S_OK;
    });
    if (FAILED(hr)) *statusString = nullptr;
    return hr;
}

}  // namespace quorvex
