// Reader enumeration. Every reader belongs to the default groups, so the group
// filter is accepted and ignored.
#include "service.h"

#include "guarded.h"

using namespace scardsim;

namespace {

// Common part of the W and A variants: checks and the current reader names.
LONG ListReaderNames(Service& service, SCARDCONTEXT hContext, const DWORD* length, std::vector<std::wstring>& names)
{
    if (!length) return SCARD_E_INVALID_PARAMETER;
    if (LONG result = service.ServiceResult()) return result;
    // A null context is allowed: the query is then not tied to any context.
    if (hContext && !service.contexts.count(hContext)) return SCARD_E_INVALID_HANDLE;
    for (const Reader& reader : service.readers) names.push_back(reader.name);
    return names.empty() ? SCARD_E_NO_READERS_AVAILABLE : SCARD_S_SUCCESS;
}

}  // namespace

LONG WINAPI SCardListReadersW(SCARDCONTEXT hContext, LPCWSTR, LPWSTR mszReaders, LPDWORD pcchReaders)
{
    return GuardedCall([&]() -> LONG {
        if (auto injected = EnterCall("SCardListReadersW")) return *injected;
        Service& service = Instance();
        std::lock_guard lock(service.mutex);
        const Hostility hostility = service.TakeHostility("SCardListReadersW");
        std::vector<std::wstring> names;
        if (LONG result = ListReaderNames(service, hContext, pcchReaders, names)) return result;
        const std::wstring list = MultiString(names);
        return ReturnAnswer(service, hostility, list.data(), static_cast<DWORD>(list.size()), sizeof(WCHAR), mszReaders,
                            pcchReaders);
    });
}

LONG WINAPI SCardListReadersA(SCARDCONTEXT hContext, LPCSTR, LPSTR mszReaders, LPDWORD pcchReaders)
{
    return GuardedCall([&]() -> LONG {
        if (auto injected = EnterCall("SCardListReadersA")) return *injected;
        Service& service = Instance();
        std::lock_guard lock(service.mutex);
        std::vector<std::wstring> names;
        if (LONG result = ListReaderNames(service, hContext, pcchReaders, names)) return result;
        const std::wstring wide = MultiString(names);
        const int size = WideCharToMultiByte(CP_ACP, 0, wide.data(), static_cast<int>(wide.size()), nullptr, 0, nullptr,
                                             nullptr);
        std::string list(static_cast<size_t>(size), '\0');
        WideCharToMultiByte(CP_ACP, 0, wide.data(), static_cast<int>(wide.size()), list.data(), size, nullptr, nullptr);
        return ReturnBuffer(service, list.data(), static_cast<DWORD>(list.size()), sizeof(char), mszReaders,
                            pcchReaders);
    });
}
