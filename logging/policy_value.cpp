#include <windows.h>

#include <cwchar>
#include <vector>

#include "logging/policy_value.h"

namespace quorvex {

UniqueHkey OpenPolicyKey() noexcept
{
    UniqueHkey key;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kPolicyKeyPath, 0, KEY_READ, key.put()) != ERROR_SUCCESS) key.reset();
    return key;
}

std::wstring ReadPolicyString(HKEY key, const wchar_t* valueName, const std::wstring& defaultText)
{
    // Room for 100 characters covers the usual path; longer values are queried
    // again with the size the registry reports.
    std::vector<wchar_t> data(100);
    DWORD type = 0;
    DWORD size = static_cast<DWORD>(data.size() * sizeof(wchar_t));
    LONG status = ::RegQueryValueExW(key, valueName, nullptr, &type, reinterpret_cast<BYTE*>(data.data()), &size);
    if (status == ERROR_MORE_DATA) {
        data.resize(size / sizeof(wchar_t) + 1);
        size = static_cast<DWORD>(data.size() * sizeof(wchar_t));
        status = ::RegQueryValueExW(key, valueName, nullptr, &type, reinterpret_cast<BYTE*>(data.data()), &size);
    }
    if (status != ERROR_SUCCESS || (type != REG_SZ && type != REG_EXPAND_SZ)) return defaultText;
    if (size == 0) return std::wstring();
    const size_t count = size / sizeof(wchar_t);
    // Malformed string data counts as absent.
    if (size % sizeof(wchar_t) != 0 || data[count - 1] != L'\0') return defaultText;
    // The text ends at its first null, as for every other reader of the
    // value: "\0junk" is empty text, not a path that names no file.
    return std::wstring(data.data(), std::wcslen(data.data()));
}

DWORD ReadPolicyDword(HKEY key, const wchar_t* valueName, DWORD defaultValue)
{
    DWORD value = 0;
    DWORD type = 0;
    DWORD size = sizeof(value);
    const LONG status = ::RegQueryValueExW(key, valueName, nullptr, &type, reinterpret_cast<BYTE*>(&value), &size);
    // A REG_DWORD of fewer than four bytes is no number: read as one, no data
    // would give level 0 (records off) and one byte whatever it holds.
    return status == ERROR_SUCCESS && type == REG_DWORD && size == sizeof(value) ? value : defaultValue;
}

}  // namespace quorvex
