// GetDeviceCount, GetDeviceID and OpenDevice: the reader table.
#include <cstdio>
#include <string_view>

#include "module/module_state.h"
#include "plugin/smart_card_auth_plugin.h"
#include "smartcard/pcsc.h"

namespace quorvex {
namespace {

constexpr char kInvalidSlotText[] = "ERROR invalid refCount passed in to CSmartCardAuthPlugin::GetDeviceID()";

// An 8-bit text as a new automation string, converted with the module's code page.
BSTR AnsiToBstr(const char* text) noexcept
{
    const UINT codePage = ConversionCodePage();
    const int length = ::MultiByteToWideChar(codePage, 0, text, -1, nullptr, 0);
    if (length <= 0) return nullptr;
    BSTR result = ::SysAllocStringLen(nullptr, static_cast<UINT>(length - 1));
    if (result) ::MultiByteToWideChar(codePage, 0, text, -1, result, length);
    return result;
}

}  // namespace

STDMETHODIMP CSmartCardAuthPlugin::GetDeviceCount(BSTR, BSTR, LONG* refCount)
{
    if (!refCount) return E_POINTER;
    *refCount = 0;

    ScardContext context;
    const LONG established = context.Establish(SCARD_SCOPE_SYSTEM);
    if (established == static_cast<LONG>(SCARD_E_NO_SERVICE)) return S_OK;  // table left as it was
    if (established != SCARD_S_SUCCESS) return E_FAIL;

    {
        ScardBuffer<WCHAR> list(context.get());
        DWORD length = SCARD_AUTOALLOCATE;
        const LONG listed = ::SCardListReadersW(context.get(), nullptr, list.put(), &length);
        if (listed == SCARD_S_SUCCESS) {
            // A success without a list is no answer: the table stays as it was.
            if (!list) return E_FAIL;
            // Never read past the length the service returned, whatever it
            // says, and take a name only when its terminator lies within it:
            // a name cut short may be the name of another reader.
            const std::wstring_view answer(list.get(), length);
            std::size_t start = 0;
            while (start < answer.size() && answer[start] != L'\0' && *refCount < kReaderSlots) {
                const std::size_t end = answer.find(L'\0', start);
                if (end == std::wstring_view::npos) break;
                UniqueBstr copy = MakeBstr(answer.substr(start, end - start));
                if (!copy) return E_OUTOFMEMORY;
                readerNames_[*refCount] = std::move(copy);
                ++*refCount;
                start = end + 1;
            }
        } else if (listed != static_cast<LONG>(SCARD_E_NO_READERS_AVAILABLE)) {
            return E_FAIL;  // the context owner releases the context
        }
    }

    // A context the service will not release leaves the count as it was.
    if (context.Release() != SCARD_S_SUCCESS) return E_FAIL;
    readerCount_ = static_cast<ULONG>(*refCount);
    return S_OK;
}

STDMETHODIMP CSmartCardAuthPlugin::GetDeviceID(LONG refCount, BSTR* deviceID)
{
    if (!deviceID) return E_POINTER;
    if (refCount < 0 || refCount >= kReaderSlots) {
        *deviceID = AnsiToBstr(kInvalidSlotText);
        return *deviceID ? E_FAIL : E_OUTOFMEMORY;
    }
    const BSTR slot = readerNames_[refCount].get();
    if (!slot) {
        *deviceID = nullptr;
        return S_OK;
    }
    UniqueBstr copy = CopyBstr(slot);
    if (!copy) return E_OUTOFMEMORY;
    *deviceID = copy.release();
    return S_OK;
}

STDMETHODIMP CSmartCardAuthPlugin::OpenDevice(BSTR deviceID, LONG* returnCode)
{
    if (!returnCode) return E_POINTER;
    *returnCode = -1;

    if (::SysStringLen(deviceID) > 0) {
        selectedIndex_ = -1;
        for (int slot = 0; slot < kReaderSlots; ++slot) {
            // A null slot compares as an empty string and never matches a name.
            if (::VarBstrCmp(readerNames_[slot].get(), deviceID, LOCALE_USER_DEFAULT, 0) ==
                static_cast<HRESULT>(VARCMP_EQ)) {
                selectedIndex_ = slot;
                *returnCode = 0;
                return S_OK;
            }
        }
        return E_FAIL;
    }

    // No name: the first reader, enumerating first when slot 0 is empty.
    selectedIndex_ = 0;
    if (::SysStringLen(readerNames_[0].get()) == 0) {
        LONG count = 0;
        const HRESULT hr = GetDeviceCount(nullptr, nullptr, &count);
        if (FAILED(hr) || count <= 0 || ::SysStringLen(readerNames_[0].get()) == 0) return E_FAIL;
    }
    *returnCode = 0;
    return S_OK;
}

}  // namespace quorvex
