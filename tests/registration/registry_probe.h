// Reading what registration left below HKEY_CLASSES_ROOT, and a single-
// threaded apartment for the tests that need COM.
#pragma once

#include <windows.h>
#include <objbase.h>

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

namespace quorvex::test {

inline constexpr wchar_t kClassKey[] = L"CLSID\\{3426285D-DDFE-473B-85D5-8D551AE92E48}";
inline constexpr wchar_t kLibraryIdText[] = L"{8FBB1775-BDA8-4B6F-8C5D-DE9EA24E1B5C}";

bool KeyExists(const std::wstring& path);
// A REG_SZ value (null name = default value); nothing when the key or value is
// missing or of another type.
std::optional<std::wstring> StringValue(const std::wstring& path, const wchar_t* valueName);
std::vector<std::wstring> ValueNames(const std::wstring& path);
std::vector<std::wstring> SubkeyNames(const std::wstring& path);
// Creates the key (and its parents) with a default value.
void CreateKey(const std::wstring& path, const wchar_t* defaultValue);
void DeleteTree(const std::wstring& path);

// Runs regsvr32 from the Wine system folder on the DLL; the exit code.
DWORD RunRegsvr32(const std::wstring& arguments);

class ApartmentTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(SUCCEEDED(::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))); }
    void TearDown() override { ::CoUninitialize(); }
};

}  // namespace quorvex::test
