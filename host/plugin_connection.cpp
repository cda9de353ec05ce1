#include "host/plugin_connection.h"

#include <cstring>

#include "host/console_output.h"

namespace quorvex::host {
namespace {

HMODULE LoadPluginDll(const std::wstring& path, std::wstring& error)
{
    // Like the COM runtime: dependencies (winscard.dll) are searched beside the DLL.
    HMODULE module = ::LoadLibraryExW(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    if (!module) {
        error = L"Cannot load " + path + L": " + DescribeHresult(HRESULT_FROM_WIN32(::GetLastError())) + L".";
    }
    return module;
}

}  // namespace

std::wstring DefaultDllPath()
{
    wchar_t path[MAX_PATH] = {};
    const DWORD length = ::GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring folder(path, length);
    folder.resize(folder.find_last_of(L"\\/") + 1);
    return folder + L"Quorvex.dll";
}

HRESULT CreatePlugin(const Connection& connection, ComPtr<IPkiAuthenticationPlugin>& plugin, std::wstring& error)
{
    HRESULT hr;
    if (connection.dllPath.empty()) {
        CLSID clsid{};
        hr = ::CLSIDFromProgID(kProgId, &clsid);
        if (FAILED(hr)) {
            error = std::wstring(L"The ProgID ") + kProgId + L" is not registered (" + DescribeHresult(hr) +
                    L"); run 'quorvex-host register' first or pass --dll.";
            return hr;
        }
        hr = ::CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IPkiAuthenticationPlugin, plugin.put_void());
        if (FAILED(hr)) error = L"CoCreateInstance failed: " + DescribeHresult(hr) + L".";
        return hr;
    }

    HMODULE module = LoadPluginDll(connection.dllPath, error);
    if (!module) return HRESULT_FROM_WIN32(ERROR_MOD_NOT_FOUND);
    using GetClassObjectFn = HRESULT(WINAPI*)(REFCLSID, REFIID, void**);
    auto getClassObject = reinterpret_cast<GetClassObjectFn>(
        reinterpret_cast<void*>(::GetProcAddress(module, "DllGetClassObject")));
    if (!getClassObject) {
        error = connection.dllPath + L" has no DllGetClassObject entry point.";
        return HRESULT_FROM_WIN32(ERROR_PROC_NOT_FOUND);
    }
    ComPtr<IClassFactory> factory;
    hr = getClassObject(CLSID_CSmartCardAuthPlugin, IID_IClassFactory, factory.put_void());
    if (SUCCEEDED(hr)) hr = factory->CreateInstance(nullptr, IID_IPkiAuthenticationPlugin, plugin.put_void());
    if (FAILED(hr))
        error = L"Creating the plug-in from " + connection.dllPath + L" failed: " + DescribeHresult(hr) + L".";
    return hr;
}

HRESULT CallRegistrationEntry(const std::wstring& dllPath, const char* entry, std::wstring& error)
{
    HMODULE module = LoadPluginDll(dllPath, error);
    if (!module) return HRESULT_FROM_WIN32(ERROR_MOD_NOT_FOUND);
    using EntryFn = HRESULT(WINAPI*)();
    auto function = reinterpret_cast<EntryFn>(reinterpret_cast<void*>(::GetProcAddress(module, entry)));
    if (!function) {
        error = dllPath + L" has no " + std::wstring(entry, entry + strlen(entry)) + L" entry point.";
        return HRESULT_FROM_WIN32(ERROR_PROC_NOT_FOUND);
    }
    return function();
}

}  // namespace quorvex::host
