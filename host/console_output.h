// Console output in UTF-8, safe to call from the capture worker's thread.
#pragma once

#include <windows.h>

#include <string>

namespace quorvex::host {

void Print(const std::wstring& line);  // adds the line feed
void PrintError(const std::wstring& line);
std::wstring Hex(unsigned long value, int digits = 8);
// "0x80070005 (Access is denied.)"
std::wstring DescribeHresult(HRESULT hr);

}  // namespace quorvex::host
