#include "module/other_view.h"

#include <objbase.h>

#include "quorvex_h.h"
#include "win/unique_hkey.h"

namespace quorvex {
namespace {

// The flag that opens the other architecture's view, or 0 where there is none.
REGSAM OtherViewFlag() noexcept
{
#ifdef _WIN64
    return KEY_WOW64_32KEY;
#else
    // On 32-bit Windows KEY_WOW64_64KEY is ignored and would open our own view.
    BOOL wow64 = FALSE;
    if (!::IsWow64Process(::GetCurrentProcess(), &wow64) || !wow64) return 0;
    return KEY_WOW64_64KEY;
#endif
}

}  // namespace

bool OtherViewServerPath(wchar_t (&path)[MAX_PATH]) noexcept
{
    path[0] = L'\0';
    const REGSAM view = OtherViewFlag();
    if (view == 0) return false;
    wchar_t classId[40];
    if (::StringFromGUID2(CLSID_CSmartCardAuthPlugin, classId, ARRAYSIZE(classId)) == 0) return false;
    wchar_t keyName[80] = L"CLSID\\";
    ::wcscat_s(keyName, classId);
    ::wcscat_s(keyName, L"\\InprocServer32");

    UniqueHkey key;
    if (::RegOpenKeyExW(HKEY_CLASSES_ROOT, keyName, 0, KEY_QUERY_VALUE | view, key.put()) != ERROR_SUCCESS)
        return false;
    // One character short of the buffer, so the text always ends in a null.
    DWORD bytes = sizeof(path) - sizeof(wchar_t);
    DWORD type = 0;
    const LONG read = ::RegQueryValueExW(key.get(), nullptr, nullptr, &type, reinterpret_cast<BYTE*>(path), &bytes);
    path[MAX_PATH - 1] = L'\0';
    if (read == ERROR_SUCCESS) path[bytes / sizeof(wchar_t)] = L'\0';
    if (read != ERROR_SUCCESS || type != REG_SZ || path[0] == L'\0') {
        path[0] = L'\0';
        return false;
    }
    return true;
}

}  // namespace quorvex
