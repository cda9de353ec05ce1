// The card database: card types registered with an ATR (and mask), their
// interfaces and their providers (CSP, KSP, card module).
#include "service.h"

#include "guarded.h"

#include <algorithm>
#include <cwchar>

#include "atr.h"

using namespace scardsim;

namespace {

#ifndef SCARD_PROVIDER_KSP
#define SCARD_PROVIDER_KSP 3
#endif
#ifndef SCARD_PROVIDER_CARD_MODULE
#define SCARD_PROVIDER_CARD_MODULE 0x80000001
#endif

// Card types accept ATRs of up to 36 bytes, like the platform's database.
constexpr DWORD kMaxDatabaseAtr = 36;

bool KnownProvider(DWORD id)
{
    return id == SCARD_PROVIDER_PRIMARY || id == SCARD_PROVIDER_CSP || id == SCARD_PROVIDER_KSP ||
           id == SCARD_PROVIDER_CARD_MODULE;
}

std::wstring GuidText(const GUID& guid)
{
    wchar_t text[39];
    swprintf(text, 39, L"{%08lX-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", static_cast<unsigned long>(guid.Data1),
             guid.Data2, guid.Data3, guid.Data4[0], guid.Data4[1], guid.Data4[2], guid.Data4[3], guid.Data4[4],
             guid.Data4[5], guid.Data4[6], guid.Data4[7]);
    return text;
}

// A context-free query is allowed for database operations.
LONG CheckDatabaseCall(const Service& service, SCARDCONTEXT hContext)
{
    if (LONG result = service.ServiceResult()) return result;
    if (hContext && !service.contexts.count(hContext)) return SCARD_E_INVALID_HANDLE;
    return SCARD_S_SUCCESS;
}

bool AtrMatches(const CardType& type, const BYTE* atr)
{
    // The caller passes no length: like the platform, take it from the ATR's
    // own structure, and fall back to the registered length for an ATR that
    // does not parse.
    const std::optional<AtrInfo> info = ParseAtr(atr, SCARD_ATR_LENGTH);
    if (info && info->length != type.atr.size()) return false;
    for (size_t i = 0; i < type.atr.size(); ++i) {
        if ((atr[i] & type.mask[i]) != (type.atr[i] & type.mask[i])) return false;
    }
    return true;
}

bool SupportsInterfaces(const std::vector<GUID>& supported, const GUID* wanted, DWORD count)
{
    for (DWORD i = 0; i < count; ++i) {
        if (std::none_of(supported.begin(), supported.end(),
                         [&](const GUID& g) { return IsEqualGUID(g, wanted[i]); })) {
            return false;
        }
    }
    return true;
}

}  // namespace

namespace scardsim {

std::wstring Service::AddCardTypeLocked(const std::wstring& name, const Bytes& atr, const Bytes& mask,
                                        const std::vector<GUID>& interfaces, const GUID* primary,
                                        const std::wstring* csp)
{
    if (name.empty()) return L"empty card type name";
    if (atr.empty() || atr.size() > kMaxDatabaseAtr) return L"ATR must have 1 to 36 bytes";
    if (!mask.empty() && mask.size() != atr.size()) return L"ATR mask must be as long as the ATR";
    if (FindCardType(name)) return L"card type \"" + name + L"\" exists already";
    CardType type;
    type.name = name;
    type.atr = atr;
    type.mask = mask.empty() ? Bytes(atr.size(), 0xFF) : mask;
    type.interfaces = interfaces;
    if (primary) type.providers[SCARD_PROVIDER_PRIMARY] = GuidText(*primary);
    if (csp) type.providers[SCARD_PROVIDER_CSP] = *csp;
    cardTypes.push_back(std::move(type));
    return {};
}

}  // namespace scardsim

LONG WINAPI SCardListCardsW(SCARDCONTEXT hContext, LPCBYTE pbAtr, LPCGUID rgquidInterfaces, DWORD cguidInterfaceCount,
                            LPWSTR mszCards, LPDWORD pcchCards)
{
    return GuardedCall([&]() -> LONG {
        if (auto injected = EnterCall("SCardListCardsW")) return *injected;
        Service& service = Instance();
        std::lock_guard lock(service.mutex);
        const Hostility hostility = service.TakeHostility("SCardListCardsW");
        if (LONG result = CheckDatabaseCall(service, hContext)) return result;
        if (!pcchCards || (cguidInterfaceCount && !rgquidInterfaces)) return SCARD_E_INVALID_PARAMETER;
        std::vector<std::wstring> names;
        for (const CardType& type : service.cardTypes) {
            if (pbAtr && !AtrMatches(type, pbAtr)) continue;
            if (!SupportsInterfaces(type.interfaces, rgquidInterfaces, cguidInterfaceCount)) continue;
            names.push_back(type.name);
        }
        // No match is not an error: the list is then empty.
        const std::wstring list = MultiString(names);
        return ReturnAnswer(service, hostility, list.data(), static_cast<DWORD>(list.size()), sizeof(WCHAR), mszCards,
                            pcchCards);
    });
}

LONG WINAPI SCardGetCardTypeProviderNameW(SCARDCONTEXT hContext, LPCWSTR szCardName, DWORD dwProviderId,
                                          LPWSTR szProvider, LPDWORD pcchProvider)
{
    return GuardedCall([&]() -> LONG {
        if (auto injected = EnterCall("SCardGetCardTypeProviderNameW")) return *injected;
        Service& service = Instance();
        std::lock_guard lock(service.mutex);
        const Hostility hostility = service.TakeHostility("SCardGetCardTypeProviderNameW");
        if (LONG result = CheckDatabaseCall(service, hContext)) return result;
        if (!szCardName || !pcchProvider || !KnownProvider(dwProviderId)) return SCARD_E_INVALID_PARAMETER;
        const CardType* type = service.FindCardType(szCardName);
        if (!type) return SCARD_E_UNKNOWN_CARD;
        auto provider = type->providers.find(dwProviderId);
        // The platform keeps providers as registry values under the card type's
        // key; a missing value surfaces as "file not found".
        if (provider == type->providers.end()) return ERROR_FILE_NOT_FOUND;
        const std::wstring& name = provider->second;
        return ReturnAnswer(service, hostility, name.c_str(), static_cast<DWORD>(name.size() + 1), sizeof(WCHAR),
                            szProvider, pcchProvider);
    });
}

LONG WINAPI SCardIntroduceCardTypeW(SCARDCONTEXT hContext, LPCWSTR szCardName, LPCGUID pguidPrimaryProvider,
                                    LPCGUID rgguidInterfaces, DWORD dwInterfaceCount, LPCBYTE pbAtr, LPCBYTE pbAtrMask,
                                    DWORD cbAtrLen)
{
    return GuardedCall([&]() -> LONG {
        if (auto injected = EnterCall("SCardIntroduceCardTypeW")) return *injected;
        Service& service = Instance();
        std::lock_guard lock(service.mutex);
        if (LONG result = CheckDatabaseCall(service, hContext)) return result;
        if (!szCardName || !*szCardName || !pbAtr || cbAtrLen == 0 || cbAtrLen > kMaxDatabaseAtr ||
            (dwInterfaceCount && !rgguidInterfaces)) {
            return SCARD_E_INVALID_PARAMETER;
        }
        if (service.FindCardType(szCardName)) return ERROR_ALREADY_EXISTS;
        const Bytes atr(pbAtr, pbAtr + cbAtrLen);
        const Bytes mask = pbAtrMask ? Bytes(pbAtrMask, pbAtrMask + cbAtrLen) : Bytes{};
        const std::vector<GUID> interfaces(rgguidInterfaces, rgguidInterfaces + dwInterfaceCount);
        if (!service.AddCardTypeLocked(szCardName, atr, mask, interfaces, pguidPrimaryProvider, nullptr).empty()) {
            return SCARD_E_INVALID_PARAMETER;
        }
        return SCARD_S_SUCCESS;
    });
}

LONG WINAPI SCardSetCardTypeProviderNameW(SCARDCONTEXT hContext, LPCWSTR szCardName, DWORD dwProviderId,
                                          LPCWSTR szProvider)
{
    return GuardedCall([&]() -> LONG {
        if (auto injected = EnterCall("SCardSetCardTypeProviderNameW")) return *injected;
        Service& service = Instance();
        std::lock_guard lock(service.mutex);
        if (LONG result = CheckDatabaseCall(service, hContext)) return result;
        // The primary provider is a GUID given when the type is introduced.
        if (!szCardName || !szProvider || !KnownProvider(dwProviderId) || dwProviderId == SCARD_PROVIDER_PRIMARY) {
            return SCARD_E_INVALID_PARAMETER;
        }
        CardType* type = service.FindCardType(szCardName);
        if (!type) return SCARD_E_UNKNOWN_CARD;
        type->providers[dwProviderId] = szProvider;
        return SCARD_S_SUCCESS;
    });
}

LONG WINAPI SCardForgetCardTypeW(SCARDCONTEXT hContext, LPCWSTR szCardName)
{
    return GuardedCall([&]() -> LONG {
        if (auto injected = EnterCall("SCardForgetCardTypeW")) return *injected;
        Service& service = Instance();
        std::lock_guard lock(service.mutex);
        if (LONG result = CheckDatabaseCall(service, hContext)) return result;
        if (!szCardName) return SCARD_E_INVALID_PARAMETER;
        auto& types = service.cardTypes;
        auto found = std::find_if(types.begin(), types.end(),
                                  [&](const CardType& t) { return SameName(t.name, szCardName); });
        if (found == types.end()) return SCARD_E_UNKNOWN_CARD;
        types.erase(found);
        return SCARD_S_SUCCESS;
    });
}
