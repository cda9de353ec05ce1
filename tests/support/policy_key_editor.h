// Exclusive use of the machine's logging policy key
// (HKLM\SOFTWARE\Policies\Tavrix\Vestrel) for one test: test processes that
// edit it wait for each other, and the key is absent when the editor is made
// and again when it goes away.
#pragma once

#include <windows.h>

#include <string>

#include "win/unique_handle.h"

namespace quorvex::test {

class PolicyKeyEditor {
public:
    PolicyKeyEditor();
    ~PolicyKeyEditor();
    PolicyKeyEditor(const PolicyKeyEditor&) = delete;
    PolicyKeyEditor& operator=(const PolicyKeyEditor&) = delete;

    void SetDword(const wchar_t* name, DWORD value);
    // Stored with its terminating null, as the registry functions would.
    void SetString(const wchar_t* name, const std::wstring& value, DWORD type = REG_SZ);
    // Exactly these bytes, for malformed or wrong-typed values.
    void SetRaw(const wchar_t* name, DWORD type, const void* data, DWORD size);
    void DeleteKey();

private:
    UniqueHandle mutex_;
};

}  // namespace quorvex::test
