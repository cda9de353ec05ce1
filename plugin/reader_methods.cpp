// GetDeviceCount, GetDeviceID and OpenDevice: the reader table as the host sees it.
#include "plugin/smart_card_auth_plugin.h"
#include "win/conversion_code_page.h"

namespace quorvex {
namespace {

constexpr char kInvalidSlotText[] = "ERROR invalid refCount passed in to CSmartCardAuthPlugin::GetDeviceID()";

// An 8-bit text as a new automation string, converted with the module's code page.
BSTR AnsiToBstr(const char* text) noexcept
{
    const UINT codePage = ConversionCodePage();
    const int length = ::MultiByteToWideChar(codePage, 0, text, -1, nullptr, 0);
    if (length <= 0) return nullptr;
    UniqueBstr result(::SysAllocStringLen(nullptr, static_cast<UINT>(length - 1)));
    if (result) ::MultiByteToWideChar(codePage, 0, text, -1, result.get(), length);
    return result.release();
}

}  // namespace

STDMETHODIMP CSmartCardAuthPlugin::GetDeviceCount(BSTR, BSTR, LONG* refCount)
{
    if (!refCount) return E_POINTER;
    *refCount = 0;
    ReaderListing listing;
    const HRESULT hr = ListReaders(listing);
    readers_.Store(listing);
    // A failed release, or a name that could not be copied, still reports
    // the names stored before it; every other failure stores none.
    *refCount = static_cast<LONG>(listing.stored);
    return hr;
}

STDMETHODIMP CSmartCardAuthPlugin::GetDeviceID(LONG refCount, BSTR* deviceID)
{
    if (!deviceID) return E_POINTER;
    if (refCount < 0 || refCount >= kReaderSlots) {
        *deviceID = AnsiToBstr(kInvalidSlotText);
        return *deviceID ? E_FAIL : E_OUTOFMEMORY;
    }
    UniqueBstr copy;
    if (!readers_.CopyName(refCount, copy)) return E_OUTOFMEMORY;
    *deviceID = copy.release();
    return S_OK;
}

STDMETHODIMP CSmartCardAuthPlugin::OpenDevice(BSTR deviceID, LONG* returnCode)
{
    if (!returnCode) return E_POINTER;
    *returnCode = -1;

    if (::SysStringLen(deviceID) > 0) {
        readers_.Select(-1);
        const LONG slot = readers_.Find(deviceID);
        if (slot < 0) return E_FAIL;
        readers_.Select(slot);
        *returnCode = 0;
        return S_OK;
    }

    // No name: the first reader, enumerating first when slot 0 is empty.
    readers_.Select(0);
    if (readers_.SlotEmpty(0)) {
        LONG count = 0;
        const HRESULT hr = GetDeviceCount(nullptr, nullptr, &count);
        if (FAILED(hr) || count <= 0 || readers_.SlotEmpty(0)) return E_FAIL;
    }
    *returnCode = 0;
    return S_OK;
}

}  // namespace quorvex
