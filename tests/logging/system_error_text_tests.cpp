// Readable text for error codes.
#include <windows.h>

#include <string>

#include <gtest/gtest.h>

#include "logging/system_error_text.h"

namespace quorvex::test {
namespace {

std::wstring RawSystemMessage(DWORD code)
{
    wchar_t buffer[1024] = {};
    const DWORD length = ::FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code,
                                          LANG_USER_DEFAULT, buffer, 1024, nullptr);
    return std::wstring(buffer, length);
}

TEST(SystemErrorText, TrailingLineEndsAreStrippedAndNothingElse)
{
    const std::wstring raw = RawSystemMessage(ERROR_FILE_NOT_FOUND);
    ASSERT_GE(raw.size(), 2u);
    ASSERT_EQ(raw.substr(raw.size() - 2), L"\r\n") << "the system text ends with a line end";
    const std::wstring text = GetSystemErrorText(ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(text, raw.substr(0, raw.size() - 2));
    EXPECT_EQ(text.back(), L'.');
}

TEST(SystemErrorText, CodesWithoutMessageGiveUpperCaseHexWithoutLeadingZeros)
{
    EXPECT_EQ(GetSystemErrorText(0x00ABCDEF), L"unknown error code: 0xABCDEF");
    EXPECT_EQ(GetSystemErrorText(0xDEADBEEF), L"unknown error code: 0xDEADBEEF");
}

TEST(SystemErrorText, ReservedCodeStandsForTheThreadsLastError)
{
    ::SetLastError(ERROR_ACCESS_DENIED);
    const std::wstring text = GetSystemErrorText(kLastErrorCode);
    EXPECT_EQ(text, GetSystemErrorText(ERROR_ACCESS_DENIED));
    EXPECT_EQ(text.find(L"unknown error code"), std::wstring::npos);
}

}  // namespace
}  // namespace quorvex::test
