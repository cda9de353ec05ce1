// The coclass type information behind IProvideClassInfo::GetClassInfo, loaded
// from the registered type library once and kept until the module unloads.
#include <atomic>

#include "plugin/automation.h"
#include "win/com_ptr.h"
#include "win/hresult.h"
#include "win/srw_lock.h"

namespace quorvex {
namespace {

constexpr WORD kMajorVersion = 1;
constexpr WORD kMinorVersion = 0;
// The library's own locale, under which RegisterTypeLib records it.
constexpr LCID kLibraryLocale = 0x409;

// The cached reference, read without the lock by every call once loaded and
// released with the module's static objects at unload.
class CachedTypeInfo {
public:
    constexpr CachedTypeInfo() noexcept = default;
    ~CachedTypeInfo()
    {
        ComPtr<ITypeInfo> owned;
        owned.attach(pointer.exchange(nullptr));
    }
    CachedTypeInfo(const CachedTypeInfo&) = delete;
    CachedTypeInfo& operator=(const CachedTypeInfo&) = delete;

    std::atomic<ITypeInfo*> pointer{nullptr};
    SrwLock loadLock;
};

CachedTypeInfo g_coclassTypeInfo;

HRESULT LoadRegisteredLibrary(ITypeLib** library) noexcept
{
    HRESULT hr = ::LoadRegTypeLib(LIBID_Quorvex, kMajorVersion, kMinorVersion, 0, library);
    // A library registered only under its own locale is not found with the
    // neutral one.
    if (hr == TYPE_E_LIBNOTREGISTERED)
        hr = ::LoadRegTypeLib(LIBID_Quorvex, kMajorVersion, kMinorVersion, kLibraryLocale, library);
    return hr;
}

// Called under the type-information lock with nothing cached yet.
HRESULT LoadCoclassTypeInfo() noexcept
{
    ComPtr<ITypeLib> library;
    QV_RETURN_IF_FAILED(LoadRegisteredLibrary(library.put()));

    ComPtr<ITypeInfo> typeInfo;
    QV_RETURN_IF_FAILED(library->GetTypeInfoOfGuid(CLSID_CSmartCardAuthPlugin, typeInfo.put()));
    ComPtr<ITypeInfo2> richer;
    if (SUCCEEDED(typeInfo.query_to(IID_ITypeInfo2, richer))) typeInfo = ComPtr<ITypeInfo>(richer.get());

    g_coclassTypeInfo.pointer.store(typeInfo.detach());
    return S_OK;
}

}  // namespace

HRESULT GetCoclassTypeInfo(ITypeInfo** typeInfo) noexcept
{
    if (!typeInfo) return E_POINTER;
    *typeInfo = nullptr;

    HRESULT hr = S_OK;
    if (!g_coclassTypeInfo.pointer.load()) {
        // Checked again under the lock so that concurrent first calls load once.
        const ExclusiveLock guard(g_coclassTypeInfo.loadLock);
        if (!g_coclassTypeInfo.pointer.load()) hr = LoadCoclassTypeInfo();
    }
    // A failed load leaves nothing cached: the next call tries again.
    ITypeInfo* cached = g_coclassTypeInfo.pointer.load();
    if (!cached) return FAILED(hr) ? hr : E_FAIL;
    cached->AddRef();
    *typeInfo = cached;
    return S_OK;
}

}  // namespace quorvex
