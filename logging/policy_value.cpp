#include <windows.h>

#include <vector>

#include "logging/log_config.h"

namespace quorvex {

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
    return std::wstring(data.data(), count - 1);
}

DWORD ReadPolicyDword(HKEY key, const wchar_t* valueName, DWORD defaultValue)
{
    DWORD value = 0;
    DWORD type = 0;
    DWORD size = sizeof(value);
    const LONG status = ::RegQueryValueExW(key, valueName, nullptr, &type, reinterpret_cast<BYTE*>(&value), &size);
    return status == ERROR_SUCCESS && type == REG_DWORD ? value : defaultValue;
}

}  // namespace quorvex
