#include "host/console_output.h"

#include <cstdio>
#include <mutex>

#include "win/unique_local_memory.h"

namespace quorvex::host {
namespace {

std::mutex g_outputLock;

void Write(FILE* stream, const std::wstring& line)
{
    std::wstring text = line + L"\n";
    const int bytes = ::WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), nullptr, 0,
                                            nullptr, nullptr);
    std::string utf8(static_cast<size_t>(bytes > 0 ? bytes : 0), '\0');
    if (bytes > 0) {
        ::WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), utf8.data(), bytes, nullptr,
                              nullptr);
    }
    std::lock_guard<std::mutex> guard(g_outputLock);
    std::fwrite(utf8.data(), 1, utf8.size(), stream);
    std::fflush(stream);
}

}  // namespace

void Print(const std::wstring& line) { Write(stdout, line); }
void PrintError(const std::wstring& line) { Write(stderr, line); }

std::wstring Hex(unsigned long value, int digits)
{
    wchar_t buffer[32];
    std::swprintf(buffer, 32, L"0x%0*lX", digits, value);
    return buffer;
}

std::wstring DescribeHresult(HRESULT hr)
{
    std::wstring text = Hex(static_cast<unsigned long>(hr));
    wchar_t* message = nullptr;
    const DWORD length = ::FormatMessageW(
        FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_ALLOCATE_BUFFER, nullptr,
        static_cast<DWORD>(hr), LANG_USER_DEFAULT, reinterpret_cast<wchar_t*>(&message), 0, nullptr);
    UniqueLocalMemory owner(message);
    std::wstring system = length && message ? std::wstring(message, length) : std::wstring();
    while (!system.empty() && (system.back() == L'\r' || system.back() == L'\n' || system.back() == L' '))
        system.pop_back();
    return system.empty() ? text : text + L" (" + system + L")";
}

}  // namespace quorvex::host
