// The card database, kept where Windows keeps it: one key per card type under
// HKLM\SOFTWARE\Microsoft\Cryptography\Calais\SmartCards with "ATR",
// "ATRMask" (optional) and "Crypto Provider". pcsc-lite has none.
#include "bridge.h"

namespace {

constexpr wchar_t kCards[] = L"SOFTWARE\\Microsoft\\Cryptography\\Calais\\SmartCards";

// Closes a registry key when it goes out of scope.
class Key {
public:
    Key() = default;
    ~Key()
    {
        if (key_) ::RegCloseKey(key_);
    }
    Key(const Key&) = delete;
    Key& operator=(const Key&) = delete;
    HKEY* put() { return &key_; }
    HKEY get() const { return key_; }

private:
    HKEY key_ = nullptr;
};

bool ReadValue(HKEY key, const wchar_t* name, DWORD type, std::vector<uint8_t>& out)
{
    DWORD actual = 0, size = 0;
    if (::RegQueryValueExW(key, name, nullptr, &actual, nullptr, &size) != ERROR_SUCCESS || actual != type)
        return false;
    out.resize(size);
    if (::RegQueryValueExW(key, name, nullptr, &actual, out.data(), &size) != ERROR_SUCCESS) return false;
    out.resize(size);
    return true;
}

LONG Win32(LONG error)
{
    return error == ERROR_FILE_NOT_FOUND ? SCARD_E_UNKNOWN_CARD : HRESULT_FROM_WIN32(static_cast<DWORD>(error));
}

}  // namespace

using namespace pcscbridge;

extern "C" {

LONG WINAPI SCardListCardsW(SCARDCONTEXT, LPCBYTE atr, LPCGUID, DWORD, LPWSTR cards, LPDWORD length)
{
    std::wstring list;
    // Windows takes the ATR's length from its structure; no ATR lists every card type.
    const size_t atrLength = atr ? AtrLength(atr, kWindowsAtrSize) : 0;
    Key root;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kCards, 0, KEY_READ, root.put()) == ERROR_SUCCESS) {
        wchar_t name[256];
        for (DWORD i = 0;; ++i) {
            DWORD nameLength = 256;
            if (::RegEnumKeyExW(root.get(), i, name, &nameLength, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
                break;
            Key card;
            if (::RegOpenKeyExW(root.get(), name, 0, KEY_READ, card.put()) != ERROR_SUCCESS) continue;
            std::vector<uint8_t> stored, mask;
            if (!ReadValue(card.get(), L"ATR", REG_BINARY, stored)) continue;
            const bool masked = ReadValue(card.get(), L"ATRMask", REG_BINARY, mask);
            if (atr && !AtrMatches(atr, atrLength, stored.data(), stored.size(), masked ? mask.data() : nullptr,
                                   masked ? mask.size() : 0))
                continue;
            list.append(name, nameLength);
            list.push_back(L'\0');
        }
    }
    if (list.empty()) list.push_back(L'\0');  // no match: an empty list, and success
    list.push_back(L'\0');
    return Deliver(list.data(), static_cast<DWORD>(list.size()), sizeof(wchar_t), cards, length);
}

LONG WINAPI SCardGetCardTypeProviderNameW(SCARDCONTEXT, LPCWSTR cardName, DWORD provider, LPWSTR out, LPDWORD length)
{
    if (!cardName || !*cardName) return SCARD_E_INVALID_PARAMETER;
    if (provider != SCARD_PROVIDER_CSP) return SCARD_E_INVALID_PARAMETER;
    Key card;
    const std::wstring path = std::wstring(kCards) + L"\\" + cardName;
    const LONG opened = ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, card.put());
    if (opened != ERROR_SUCCESS) return Win32(opened);
    std::vector<uint8_t> value;
    if (!ReadValue(card.get(), L"Crypto Provider", REG_SZ, value)) return HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
    std::wstring csp(reinterpret_cast<const wchar_t*>(value.data()), value.size() / sizeof(wchar_t));
    while (!csp.empty() && csp.back() == L'\0') csp.pop_back();
    csp.push_back(L'\0');
    return Deliver(csp.data(), static_cast<DWORD>(csp.size()), sizeof(wchar_t), out, length);
}

LONG WINAPI SCardIntroduceCardTypeW(SCARDCONTEXT, LPCWSTR cardName, LPCGUID, LPCGUID, DWORD, LPCBYTE atr, LPCBYTE mask,
                                    DWORD atrLength)
{
    if (!cardName || !*cardName || !atr || atrLength == 0 || atrLength > kWindowsAtrSize)
        return SCARD_E_INVALID_PARAMETER;
    Key card;
    const std::wstring path = std::wstring(kCards) + L"\\" + cardName;
    LONG rc = ::RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, card.put(),
                                nullptr);
    if (rc == ERROR_SUCCESS) rc = ::RegSetValueExW(card.get(), L"ATR", 0, REG_BINARY, atr, atrLength);
    if (rc == ERROR_SUCCESS && mask) rc = ::RegSetValueExW(card.get(), L"ATRMask", 0, REG_BINARY, mask, atrLength);
    return rc == ERROR_SUCCESS ? SCARD_S_SUCCESS : HRESULT_FROM_WIN32(static_cast<DWORD>(rc));
}

LONG WINAPI SCardSetCardTypeProviderNameW(SCARDCONTEXT, LPCWSTR cardName, DWORD provider, LPCWSTR name)
{
    if (!cardName || !name || provider != SCARD_PROVIDER_CSP) return SCARD_E_INVALID_PARAMETER;
    Key card;
    const std::wstring path = std::wstring(kCards) + L"\\" + cardName;
    LONG rc = ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_WRITE, card.put());
    if (rc != ERROR_SUCCESS) return Win32(rc);
    rc = ::RegSetValueExW(card.get(), L"Crypto Provider", 0, REG_SZ, reinterpret_cast<const BYTE*>(name),
                          static_cast<DWORD>((wcslen(name) + 1) * sizeof(wchar_t)));
    return rc == ERROR_SUCCESS ? SCARD_S_SUCCESS : HRESULT_FROM_WIN32(static_cast<DWORD>(rc));
}

LONG WINAPI SCardForgetCardTypeW(SCARDCONTEXT, LPCWSTR cardName)
{
    if (!cardName || !*cardName) return SCARD_E_INVALID_PARAMETER;
    const std::wstring path = std::wstring(kCards) + L"\\" + cardName;
    const LONG rc = ::RegDeleteKeyW(HKEY_LOCAL_MACHINE, path.c_str());
    return rc == ERROR_SUCCESS ? SCARD_S_SUCCESS : Win32(rc);
}

}  // extern "C"
