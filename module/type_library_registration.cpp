#include "module/type_library_registration.h"

#include <oleauto.h>

#include <cwchar>

#include "win/com_ptr.h"
#include "win/hresult.h"
#include "win/module_path.h"
#include "win/unique_lib_attr.h"

namespace quorvex {
namespace {

// Loads the library embedded in the module, or else from a ".tlb" file beside
// it with the module's base name. `path` ends up naming the file it came from.
HRESULT LoadModuleTypeLibrary(ModulePath& path, ITypeLib** library) noexcept
{
    path = GetModulePath();
    QV_RETURN_IF_FAILED(ModulePathResult(path));
    if (SUCCEEDED(::LoadTypeLib(path.text, library))) return S_OK;

    wchar_t* const end = path.text + std::wcslen(path.text);
    wchar_t* extension = nullptr;
    for (wchar_t* p = path.text; p < end; ++p) {
        if (*p == L'.') extension = p;
        if (*p == L'\\' || *p == L'/' || *p == L':') extension = nullptr;
    }
    if (!extension) extension = end;
    constexpr wchar_t kTlb[] = L".tlb";
    if (static_cast<size_t>(extension - path.text) + ARRAYSIZE(kTlb) > MAX_PATH) return E_FAIL;
    std::wmemcpy(extension, kTlb, ARRAYSIZE(kTlb));
    path.length = static_cast<DWORD>(std::wcslen(path.text));
    return ::LoadTypeLib(path.text, library);
}

// The help directory is the library file's folder, separator included.
HRESULT RegisterLibrary(ITypeLib* library, wchar_t* path) noexcept  // RegisterTypeLib takes a non-const path
{
    wchar_t helpDirectory[MAX_PATH];
    QV_RETURN_HR_IF(E_FAIL, std::wcslen(path) >= MAX_PATH);
    std::wmemcpy(helpDirectory, path, std::wcslen(path) + 1);
    wchar_t* cut = helpDirectory;
    for (wchar_t* p = helpDirectory; *p; ++p) {
        if (*p == L'\\' || *p == L'/' || *p == L':') cut = p + 1;
    }
    *cut = L'\0';
    return ::RegisterTypeLib(library, path, helpDirectory);
}

}  // namespace

HRESULT RegisterModuleTypeLibrary() noexcept
{
    ModulePath path;
    ComPtr<ITypeLib> library;
    QV_RETURN_IF_FAILED(LoadModuleTypeLibrary(path, library.put()));
    return RegisterLibrary(library.get(), path.text);
}

HRESULT RegisterTypeLibraryOf(wchar_t* path) noexcept
{
    ComPtr<ITypeLib> library;
    QV_RETURN_IF_FAILED(::LoadTypeLibEx(path, REGKIND_NONE, library.put()));
    return RegisterLibrary(library.get(), path);
}

HRESULT UnregisterModuleTypeLibrary() noexcept
{
    ModulePath path;
    ComPtr<ITypeLib> library;
    QV_RETURN_IF_FAILED(LoadModuleTypeLibrary(path, library.put()));

    UniqueLibAttr attributes(library.get());
    QV_RETURN_IF_FAILED(library->GetLibAttr(attributes.put()));
    return ::UnRegisterTypeLib(attributes->guid, attributes->wMajorVerNum, attributes->wMinorVerNum, attributes->lcid,
                               attributes->syskind);
}

}  // namespace quorvex
