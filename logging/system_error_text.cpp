#include "logging/system_error_text.h"

#include <cwchar>

#include "win/unique_local_memory.h"

namespace quorvex {

std::wstring GetSystemErrorText(DWORD code)
{
    if (code == kLastErrorCode) code = ::GetLastError();
    wchar_t* message = nullptr;
    const DWORD length = ::FormatMessageW(
        FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_ALLOCATE_BUFFER, nullptr, code,
        LANG_USER_DEFAULT, reinterpret_cast<wchar_t*>(&message), 0, nullptr);
    const UniqueLocalMemory owner(message);
    if (length != 0 && message != nullptr) {
        std::wstring text(message, length);
        while (!text.empty() && (text.back() == L'\r' || text.back() == L'\n')) text.pop_back();
        return text;
    }
    wchar_t fallback[40] = {};
    _snwprintf(fallback, 39, L"unknown error code: 0x%X", static_cast<unsigned>(code));
    return fallback;
}

}  // namespace quorvex
