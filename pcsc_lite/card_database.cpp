// The card database, kept where Windows keeps it: one key per card type below
// HKLM\SOFTWARE\Microsoft\Cryptography\Calais\SmartCards with "ATR",
// "ATRMask" (optional) and "Crypto Provider". pcsc-lite has none. A 32-bit
// program reads the 32-bit view (Wow6432Node), as on Windows.
#include "windows_side.h"

#include <cstring>

#include "atr_match.h"
#include "win/unique_hkey.h"

using namespace lite;
using quorvex::UniqueHkey;

namespace {

constexpr WCHAR kCards[] = L"SOFTWARE\\Microsoft\\Cryptography\\Calais\\SmartCards";
constexpr size_t kCardsUnits = sizeof kCards / sizeof kCards[0] - 1;
constexpr DWORD kMaxKeyName = 255;  // the registry's limit
constexpr size_t kWindowsAtrLength = 33;  // SCARD_ATR_LENGTH, which Wine 8's headers lack

// "SOFTWARE\...\SmartCards\<card name>", or empty when the name cannot be one key.
HeapArray<WCHAR> CardKeyPath(LPCWSTR cardName)
{
    const size_t units = StringUnits(cardName);
    if (units == 0 || units > kMaxKeyName) return {};
    for (size_t i = 0; i < units; ++i)
        if (cardName[i] == L'\\') return {};
    HeapArray<WCHAR> path(kCardsUnits + 1 + units + 1);
    if (!path) return {};
    std::memcpy(path.get(), kCards, kCardsUnits * sizeof(WCHAR));
    path[kCardsUnits] = L'\\';
    std::memcpy(path.get() + kCardsUnits + 1, cardName, units * sizeof(WCHAR));
    return path;
}

// An ATR or a mask: REG_BINARY of 1 to 36 bytes.
bool ReadAtrValue(HKEY key, LPCWSTR name, BYTE (&out)[LITE_ATR_SIZE], DWORD& length)
{
    DWORD type = 0;
    length = sizeof out;
    return ::RegQueryValueExW(key, name, nullptr, &type, out, &length) == ERROR_SUCCESS && type == REG_BINARY &&
           length > 0;
}

LONG FromRegistry(LONG error)
{
    return error == ERROR_FILE_NOT_FOUND ? SCARD_E_UNKNOWN_CARD : HRESULT_FROM_WIN32(static_cast<DWORD>(error));
}

struct Match {
    size_t offset, units;  // into the names block
    unsigned specificity;
};

}  // namespace

extern "C" {

LONG WINAPI Win_SCardListCardsW(SCARDCONTEXT, LPCBYTE atr, LPCGUID interfaces, DWORD interfaceCount, LPWSTR cards,
                                LPDWORD length)
{
    if (!length || (interfaceCount && !interfaces)) return SCARD_E_INVALID_PARAMETER;
    // Windows takes the ATR's length from its structure; no ATR lists every
    // card type. The caller's buffer is only known to hold a Windows ATR
    // (SCARD_ATR_LENGTH), whatever longer length a malformed structure claims.
    const size_t atrLength = atr ? AtrLength(atr, kWindowsAtrLength) : 0;
    UniqueHkey root;
    DWORD subkeys = 0, longest = 0;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kCards, 0, KEY_READ, root.put()) != ERROR_SUCCESS ||
        ::RegQueryInfoKeyW(root.get(), nullptr, nullptr, nullptr, &subkeys, &longest, nullptr, nullptr, nullptr,
                           nullptr, nullptr, nullptr) != ERROR_SUCCESS)
        subkeys = 0;
    HeapArray<Match> matches(subkeys);
    // Room for the longest name each: a full imported card list has thousands.
    const DWORD nameRoom = (longest < kMaxKeyName ? longest : kMaxKeyName) + 1;
    HeapArray<WCHAR> names(static_cast<size_t>(subkeys) * nameRoom + 2);
    if (!matches || !names) return SCARD_E_NO_MEMORY;
    size_t found = 0, used = 0;
    for (DWORD i = 0; i < subkeys; ++i) {
        WCHAR* name = names.get() + used;
        DWORD units = nameRoom;
        const LONG listed = ::RegEnumKeyExW(root.get(), i, name, &units, nullptr, nullptr, nullptr, nullptr);
        if (listed == ERROR_MORE_DATA) continue;  // a longer name came in since the count
        if (listed != ERROR_SUCCESS) break;
        UniqueHkey card;
        if (::RegOpenKeyExW(root.get(), name, 0, KEY_READ, card.put()) != ERROR_SUCCESS) continue;
        BYTE stored[LITE_ATR_SIZE], mask[LITE_ATR_SIZE];
        DWORD storedLength = 0, maskLength = 0;
        if (!ReadAtrValue(card.get(), L"ATR", stored, storedLength)) continue;
        const bool masked = ReadAtrValue(card.get(), L"ATRMask", mask, maskLength);
        if (atr && !AtrMatches(atr, atrLength, stored, storedLength, masked ? mask : nullptr, masked ? maskLength : 0))
            continue;
        // Most specific first, registry order among equals: where a general
        // entry and a specific one both match, the first name is the specific one.
        const Match m{used, units, AtrSpecificity(storedLength, masked ? mask : nullptr)};
        size_t at = found++;
        for (; atr && at > 0 && matches[at - 1].specificity < m.specificity; --at) matches[at] = matches[at - 1];
        matches[at] = m;
        used += units + 1;
    }
    // Names, each with its NUL, then the closing empty name; no match is an
    // empty list, and success.
    HeapArray<WCHAR> list(used + 2);
    if (!list) return SCARD_E_NO_MEMORY;
    size_t at = 0;
    for (size_t i = 0; i < found; ++i) {
        std::memcpy(list.get() + at, names.get() + matches[i].offset, matches[i].units * sizeof(WCHAR));
        at += matches[i].units;
        list[at++] = L'\0';
    }
    if (at == 0) list[at++] = L'\0';
    list[at++] = L'\0';
    return Deliver(list.get(), at, sizeof(WCHAR), cards, length);
}

LONG WINAPI Win_SCardGetCardTypeProviderNameW(SCARDCONTEXT, LPCWSTR cardName, DWORD provider, LPWSTR out,
                                              LPDWORD length)
{
    if (!cardName || provider != SCARD_PROVIDER_CSP) return SCARD_E_INVALID_PARAMETER;
    const HeapArray<WCHAR> path = CardKeyPath(cardName);
    if (!path) return SCARD_E_INVALID_PARAMETER;
    UniqueHkey card;
    const LONG opened = ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.get(), 0, KEY_READ, card.put());
    if (opened != ERROR_SUCCESS) return FromRegistry(opened);
    DWORD type = 0, bytes = 0;
    if (::RegQueryValueExW(card.get(), L"Crypto Provider", nullptr, &type, nullptr, &bytes) != ERROR_SUCCESS ||
        type != REG_SZ)
        return HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
    HeapArray<WCHAR> csp(bytes / sizeof(WCHAR) + 1);
    if (!csp) return SCARD_E_NO_MEMORY;
    if (::RegQueryValueExW(card.get(), L"Crypto Provider", nullptr, &type, reinterpret_cast<BYTE*>(csp.get()),
                           &bytes) != ERROR_SUCCESS)
        return HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
    // A stored string need not end in NUL; the answer always does, once.
    size_t units = bytes / sizeof(WCHAR);
    while (units > 0 && csp[units - 1] == L'\0') --units;
    csp[units] = L'\0';
    return Deliver(csp.get(), units + 1, sizeof(WCHAR), out, length);
}

LONG WINAPI Win_SCardIntroduceCardTypeW(SCARDCONTEXT, LPCWSTR cardName, LPCGUID, LPCGUID, DWORD, LPCBYTE atr,
                                        LPCBYTE mask, DWORD atrLength)
{
    if (!cardName || !atr || atrLength == 0 || atrLength > LITE_ATR_SIZE) return SCARD_E_INVALID_PARAMETER;
    const HeapArray<WCHAR> path = CardKeyPath(cardName);
    if (!path) return SCARD_E_INVALID_PARAMETER;
    UniqueHkey card;
    LONG rc = ::RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.get(), 0, nullptr, 0, KEY_WRITE, nullptr, card.put(), nullptr);
    if (rc == ERROR_SUCCESS) rc = ::RegSetValueExW(card.get(), L"ATR", 0, REG_BINARY, atr, atrLength);
    if (rc == ERROR_SUCCESS && mask) rc = ::RegSetValueExW(card.get(), L"ATRMask", 0, REG_BINARY, mask, atrLength);
    // A mask left from an earlier introduction would decide the new ATR's matches.
    if (rc == ERROR_SUCCESS && !mask) {
        rc = ::RegDeleteValueW(card.get(), L"ATRMask");
        if (rc == ERROR_FILE_NOT_FOUND) rc = ERROR_SUCCESS;
    }
    return rc == ERROR_SUCCESS ? SCARD_S_SUCCESS : HRESULT_FROM_WIN32(static_cast<DWORD>(rc));
}

LONG WINAPI Win_SCardSetCardTypeProviderNameW(SCARDCONTEXT, LPCWSTR cardName, DWORD provider, LPCWSTR name)
{
    if (!cardName || !name || provider != SCARD_PROVIDER_CSP) return SCARD_E_INVALID_PARAMETER;
    const HeapArray<WCHAR> path = CardKeyPath(cardName);
    if (!path) return SCARD_E_INVALID_PARAMETER;
    UniqueHkey card;
    LONG rc = ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.get(), 0, KEY_WRITE, card.put());
    if (rc != ERROR_SUCCESS) return FromRegistry(rc);
    const size_t units = StringUnits(name) + 1;
    if (units > MAXDWORD / sizeof(WCHAR)) return SCARD_E_INVALID_PARAMETER;
    rc = ::RegSetValueExW(card.get(), L"Crypto Provider", 0, REG_SZ, reinterpret_cast<const BYTE*>(name),
                          static_cast<DWORD>(units * sizeof(WCHAR)));
    return rc == ERROR_SUCCESS ? SCARD_S_SUCCESS : HRESULT_FROM_WIN32(static_cast<DWORD>(rc));
}

LONG WINAPI Win_SCardForgetCardTypeW(SCARDCONTEXT, LPCWSTR cardName)
{
    if (!cardName) return SCARD_E_INVALID_PARAMETER;
    const HeapArray<WCHAR> path = CardKeyPath(cardName);
    if (!path) return SCARD_E_INVALID_PARAMETER;
    const LONG rc = ::RegDeleteKeyW(HKEY_LOCAL_MACHINE, path.get());
    return rc == ERROR_SUCCESS ? SCARD_S_SUCCESS : FromRegistry(rc);
}

}  // extern "C"
