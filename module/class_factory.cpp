#include "module/class_factory.h"

#include <mutex>
#include <new>

#include "win/com_ptr.h"
#include "win/critical_section.h"
#include "win/module_lock.h"
#include "win/ref_count.h"

namespace quorvex {
namespace {

class ClassFactory final : public IClassFactory {
public:
    explicit ClassFactory(InstanceCreator creator) noexcept : creator_(creator) {}

    bool usable() const noexcept { return lock_.initialised(); }

    // IUnknown
    STDMETHODIMP QueryInterface(REFIID iid, void** out) override
    {
        if (!out) return E_POINTER;
        if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IClassFactory)) {
            *out = static_cast<IClassFactory*>(this);
            AddRef();
            return S_OK;
        }
        *out = nullptr;
        return E_NOINTERFACE;
    }

    // The class table holds the first reference; all outside references
    // together hold exactly one module lock, taken when the count reaches 2
    // and given back when it falls to 1.
    STDMETHODIMP_(ULONG) AddRef() override
    {
        std::lock_guard<CriticalSection> guard(lock_);
        const ULONG count = refCount_.Increment();
        if (count == 2) ModuleLock();
        return count;
    }

    STDMETHODIMP_(ULONG) Release() override
    {
        ULONG count;
        {
            std::lock_guard<CriticalSection> guard(lock_);
            count = refCount_.Decrement();
        }
        // Ended outside the lock, which is the object's own.
        if (count == 0) {
            RefCount<ClassFactory>::Destroy(this);
        } else if (count == 1) {
            ModuleUnlock();
        }
        return count;
    }

    // IClassFactory
    STDMETHODIMP CreateInstance(IUnknown* outer, REFIID iid, void** out) override
    {
        if (!out) return E_POINTER;
        *out = nullptr;
        if (outer && !IsEqualIID(iid, IID_IUnknown)) return CLASS_E_NOAGGREGATION;
        return creator_(outer, iid, out);
    }

    STDMETHODIMP LockServer(BOOL lock) override
    {
        if (lock) {
            ModuleLock();
        } else {
            ModuleUnlock();
        }
        return S_OK;
    }

private:
    friend class RefCount<ClassFactory>;
    ~ClassFactory() = default;

    InstanceCreator creator_;
    CriticalSection lock_;
    RefCount<ClassFactory> refCount_;  // changed under lock_
};

}  // namespace

HRESULT CreateClassObject(InstanceCreator creator, REFIID iid, void** out) noexcept
{
    if (!out) return E_POINTER;
    *out = nullptr;
    // Born with the creator's reference, held for the duration of the query:
    // on success the caller's reference stays (count 1, no module lock), on
    // failure the object goes away.
    ComPtr<ClassFactory> factory;
    factory.attach(new (std::nothrow) ClassFactory(creator));
    if (!factory || !factory->usable()) return E_OUTOFMEMORY;
    return factory->QueryInterface(iid, out);
}

}  // namespace quorvex
