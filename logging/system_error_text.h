// Readable text for a system, COM or PC/SC error code.
#pragma once

#include <windows.h>

#include <string>

namespace quorvex {

// Stands for the calling thread's last error.
inline constexpr DWORD kLastErrorCode = 0xC0A003E7;

std::wstring GetSystemErrorText(DWORD code);

}  // namespace quorvex
