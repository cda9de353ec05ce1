// The real Quorvex.dll, loaded from the test program's folder the way the COM
// runtime loads an in-process server.
#pragma once

#include <windows.h>
#include <unknwn.h>

#include <string>

namespace quorvex::test {

// Full path of a file in the test program's folder.
std::wstring BinPath(const wchar_t* fileName);

class QuorvexDll {
public:
    QuorvexDll();
    ~QuorvexDll();
    QuorvexDll(const QuorvexDll&) = delete;
    QuorvexDll& operator=(const QuorvexDll&) = delete;

    HMODULE module() const { return module_; }
    HRESULT GetClassObject(REFCLSID clsid, REFIID iid, void** out) const;
    HRESULT CanUnloadNow() const;
    HRESULT RegisterServer() const;
    HRESULT UnregisterServer() const;
    // CreateInstance through the DLL's class object.
    HRESULT CreateInstance(IUnknown* outer, REFIID iid, void** out) const;
    FARPROC Export(const char* name) const { return ::GetProcAddress(module_, name); }

private:
    HMODULE module_ = nullptr;
};

}  // namespace quorvex::test
