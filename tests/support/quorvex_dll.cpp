#include "support/quorvex_dll.h"

#include <gtest/gtest.h>

#include "quorvex_h.h"
#include "win/com_ptr.h"

namespace quorvex::test {

std::wstring BinPath(const wchar_t* fileName)
{
    wchar_t path[MAX_PATH] = {};
    ::GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring folder(path);
    folder.resize(folder.find_last_of(L"\\/") + 1);
    return folder + fileName;
}

QuorvexDll::QuorvexDll()
{
    module_ = ::LoadLibraryExW(BinPath(L"Quorvex.dll").c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    EXPECT_NE(module_, nullptr) << "Quorvex.dll not loadable, error " << ::GetLastError();
}

QuorvexDll::~QuorvexDll()
{
    if (module_) ::FreeLibrary(module_);
}

HRESULT QuorvexDll::GetClassObject(REFCLSID clsid, REFIID iid, void** out) const
{
    using Fn = HRESULT(WINAPI*)(REFCLSID, REFIID, void**);
    auto fn = reinterpret_cast<Fn>(reinterpret_cast<void*>(Export("DllGetClassObject")));
    return fn ? fn(clsid, iid, out) : E_FAIL;
}

namespace {
HRESULT CallNoArgs(const QuorvexDll& dll, const char* name)
{
    using Fn = HRESULT(WINAPI*)();
    auto fn = reinterpret_cast<Fn>(reinterpret_cast<void*>(dll.Export(name)));
    return fn ? fn() : E_FAIL;
}
}  // namespace

HRESULT QuorvexDll::CanUnloadNow() const { return CallNoArgs(*this, "DllCanUnloadNow"); }
HRESULT QuorvexDll::RegisterServer() const { return CallNoArgs(*this, "DllRegisterServer"); }
HRESULT QuorvexDll::UnregisterServer() const { return CallNoArgs(*this, "DllUnregisterServer"); }

HRESULT QuorvexDll::CreateInstance(IUnknown* outer, REFIID iid, void** out) const
{
    ComPtr<IClassFactory> factory;
    HRESULT hr = GetClassObject(CLSID_CSmartCardAuthPlugin, IID_IClassFactory, factory.put_void());
    if (FAILED(hr)) return hr;
    return factory->CreateInstance(outer, iid, out);
}

}  // namespace quorvex::test
