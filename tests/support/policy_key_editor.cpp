#include "support/policy_key_editor.h"

#include <gtest/gtest.h>

#include "logging/log_config.h"

namespace quorvex::test {

PolicyKeyEditor::PolicyKeyEditor() : mutex_(::CreateMutexW(nullptr, FALSE, L"Local\\QuorvexPolicyKeyTests"))
{
    // An abandoned mutex (a crashed test) is ours all the same.
    if (mutex_) ::WaitForSingleObject(mutex_.get(), INFINITE);
    DeleteKey();
}

PolicyKeyEditor::~PolicyKeyEditor()
{
    DeleteKey();
    if (mutex_) ::ReleaseMutex(mutex_.get());
}

void PolicyKeyEditor::DeleteKey()
{
    const LONG status = ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, kPolicyKeyPath);
    if (status == ERROR_SUCCESS || status == ERROR_FILE_NOT_FOUND) {
        ::RegDeleteKeyW(HKEY_LOCAL_MACHINE, kPolicyKeyPath);
        return;
    }
    ADD_FAILURE() << "RegDeleteTreeW on the policy key failed: " << status;
}

void PolicyKeyEditor::SetRaw(const wchar_t* name, DWORD type, const void* data, DWORD size)
{
    UniqueHkey key;
    LONG status = ::RegCreateKeyExW(HKEY_LOCAL_MACHINE, kPolicyKeyPath, 0, nullptr, 0, KEY_SET_VALUE, nullptr,
                                    key.put(), nullptr);
    ASSERT_EQ(status, ERROR_SUCCESS) << "cannot create the policy key";
    status = ::RegSetValueExW(key.get(), name, 0, type, static_cast<const BYTE*>(data), size);
    ASSERT_EQ(status, ERROR_SUCCESS) << "cannot set a policy value";
}

void PolicyKeyEditor::SetDword(const wchar_t* name, DWORD value) { SetRaw(name, REG_DWORD, &value, sizeof(value)); }

void PolicyKeyEditor::SetString(const wchar_t* name, const std::wstring& value, DWORD type)
{
    SetRaw(name, type, value.c_str(), static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
}

}  // namespace quorvex::test
