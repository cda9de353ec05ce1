#include "smartcard/reader_list.h"

#include <string_view>

#include "smartcard/pcsc.h"

namespace quorvex {
namespace {

// Never reads past the length the service returned, whatever it says, and
// takes a name only when its terminator lies within it: a name cut short may
// be the name of another reader.
HRESULT StoreNames(std::wstring_view answer, ReaderListing& listing) noexcept
{
    std::size_t start = 0;
    while (start < answer.size() && answer[start] != L'\0' && listing.stored < kReaderSlots) {
        const std::size_t end = answer.find(L'\0', start);
        if (end == std::wstring_view::npos) break;
        UniqueBstr copy = MakeBstr(answer.substr(start, end - start));
        if (!copy) return E_OUTOFMEMORY;
        listing.names[listing.stored++] = std::move(copy);
        start = end + 1;
    }
    return S_OK;
}

}  // namespace

HRESULT ListReaders(ReaderListing& listing) noexcept
{
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
            const HRESULT stored = StoreNames(std::wstring_view(list.get(), length), listing);
            if (FAILED(stored)) return stored;
        } else if (listed != static_cast<LONG>(SCARD_E_NO_READERS_AVAILABLE)) {
            return E_FAIL;  // the context owner releases the context
        }
    }

    // A context the service will not release leaves the count as it was.
    if (context.Release() != SCARD_S_SUCCESS) return E_FAIL;
    listing.complete = true;
    return S_OK;
}

}  // namespace quorvex
