// A lean event sink for event storms: it counts calls and checks them as they
// come instead of recording them, so a million events cost no memory.
#pragma once

#include <windows.h>
#include <oaidl.h>

#include <atomic>
#include <functional>

#include "win/com_ptr.h"

namespace quorvex::test {

class StormSink final : public IDispatch {
public:
    static ComPtr<StormSink> Create();

    STDMETHODIMP QueryInterface(REFIID iid, void** out) override;
    STDMETHODIMP_(ULONG) AddRef() override { return ++references_; }
    STDMETHODIMP_(ULONG) Release() override;
    STDMETHODIMP GetTypeInfoCount(UINT*) override { return E_NOTIMPL; }
    STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
    STDMETHODIMP Invoke(DISPID dispid, REFIID iid, LCID locale, WORD flags, DISPPARAMS* params, VARIANT* result,
                        EXCEPINFO* exception, UINT* argumentError) override;

    // Set by the test once Unadvise of this sink has returned; a call after
    // that is a fault.
    std::atomic<bool> unadvised{false};
    // Runs inside Invoke with the event's value (single raising thread only).
    std::function<void(LONG)> handler;

    long long calls() const noexcept { return calls_.load(); }
    long long callsAfterUnadvise() const noexcept { return callsAfterUnadvise_.load(); }
    // Calls whose value was not the one after the previous call's value: a
    // skipped or repeated event (meaningful for sinks connected throughout).
    long long outOfSequence() const noexcept { return outOfSequence_.load(); }
    ULONG references() const noexcept { return references_.load(); }

private:
    StormSink() = default;

    std::atomic<ULONG> references_{1};
    std::atomic<long long> calls_{0};
    std::atomic<long long> callsAfterUnadvise_{0};
    std::atomic<long long> outOfSequence_{0};
    LONG last_ = -1;
    bool first_ = true;
};

}  // namespace quorvex::test
