#include "module/registry_writer.h"

#include <cwchar>

namespace quorvex {

LONG OpenExistingKey(HKEY parent, const wchar_t* name, UniqueHkey& key) noexcept
{
    return ::RegOpenKeyExW(parent, name, 0, kRegistrationAccess, key.put());
}

LONG OpenOrCreateKey(HKEY parent, const wchar_t* name, UniqueHkey& key) noexcept
{
    if (OpenExistingKey(parent, name, key) == ERROR_SUCCESS) return ERROR_SUCCESS;
    return ::RegCreateKeyExW(parent, name, 0, nullptr, REG_OPTION_NON_VOLATILE, kRegistrationAccess, nullptr, key.put(),
                             nullptr);
}

LONG SetStringValue(HKEY key, const wchar_t* valueName, const wchar_t* data) noexcept
{
    const DWORD bytes = static_cast<DWORD>((std::wcslen(data) + 1) * sizeof(wchar_t));
    return ::RegSetValueExW(key, valueName, 0, REG_SZ, reinterpret_cast<const BYTE*>(data), bytes);
}

// Recursion depth: one level per key level, and the registry nests at most 512.
LONG DeleteSubtree(HKEY parent, const wchar_t* name) noexcept  // NOLINT(misc-no-recursion)
{
    {
        UniqueHkey key;
        const LONG opened = OpenExistingKey(parent, name, key);
        if (opened != ERROR_SUCCESS) return opened;

        // Always the first subkey: the one before it was just deleted.
        for (;;) {
            wchar_t subkey[256];
            DWORD length = ARRAYSIZE(subkey);
            if (::RegEnumKeyExW(key.get(), 0, subkey, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
                break;
            const LONG deleted = DeleteSubtree(key.get(), subkey);
            if (deleted != ERROR_SUCCESS) return deleted;
        }
    }
    return ::RegDeleteKeyW(parent, name);
}

}  // namespace quorvex
