#include "resource_test_helpers.h"

#include <gtest/gtest.h>

namespace quorvex::test {

std::wstring BuiltResourceLibrary(const wchar_t* name)
{
    wchar_t program[MAX_PATH] = {};
    const std::wstring path(program, ::GetModuleFileNameW(nullptr, program, MAX_PATH));
    return path.substr(0, path.rfind(L'\\')) + L"\\..\\resource_libraries\\" + name + L".dll";
}

HMODULE LoadBuiltResourceLibrary(const wchar_t* name)
{
    const std::wstring path = BuiltResourceLibrary(name);
    HMODULE library = ::LoadLibraryW(path.c_str());
    EXPECT_NE(library, nullptr) << "cannot load " << ToUtf8(path) << ", error " << ::GetLastError();
    return library;
}

std::string ToUtf8(std::wstring_view text)
{
    const int size = ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr,
                                           nullptr);
    std::string utf8(static_cast<size_t>(size > 0 ? size : 0), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), utf8.data(), size, nullptr, nullptr);
    return utf8;
}

}  // namespace quorvex::test
