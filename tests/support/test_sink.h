// A real COM event sink for tests: an IDispatch that records every Invoke.
//
//   auto sink = quorvex::test::TestSink::Create();          // answers the event DIID
//   DWORD cookie = 0;
//   AdviseEvents(plugin, sink.get(), &cookie);              // see plugin_helpers.h
//   ... raise events ...
//   ASSERT_TRUE(sink->WaitForCalls(1, std::chrono::seconds(5)));
//   SinkCall call = sink->Calls()[0];                       // call.dispid, call.value, call.strings
//
// Thread-safe: Invoke may run on any thread while a test reads the record.
// The sink answers IUnknown, IDispatch and, unless told otherwise, the event
// DIID of _IPkiAuthenticationPluginEvents; on request also IPropertyNotifySink
// (whose calls are only counted).
#pragma once

#include <windows.h>
#include <ocidl.h>

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "win/com_ptr.h"

namespace quorvex::test {

// {04F254A0-9B6D-4167-A502-6C8CB0A6B5A5}: _IPkiAuthenticationPluginEvents.
extern const IID kEventDiid;

// One Invoke as the sink saw it. Arguments are copies, so they stay valid
// after the call.
struct SinkCall {
    DISPID dispid = 0;
    bool iidNull = false;  // riid was IID_NULL
    LCID locale = 0;
    WORD flags = 0;
    UINT argCount = 0;
    UINT namedArgCount = 0;
    bool resultGiven = false;  // pVarResult not null (and VT_EMPTY on entry)
    bool resultWasEmpty = false;
    bool excepInfoGiven = false;   // pExcepInfo not null
    bool excepInfoZeroed = false;  // ... and all zero on entry
    bool argErrorGiven = false;    // puArgErr not null
    // Argument types in DISPPARAMS order (rgvarg[0] first).
    std::vector<VARTYPE> types;
    // The VT_I4 value when the first argument is one (StatusChanged, Failed).
    LONG value = 0;
    // VT_BSTR arguments in PARAMETER order (first declared parameter first,
    // i.e. rgvarg reversed). For DataReady: [0] smartCardName,
    // [1] smartCardReader, [2] cspName.
    std::vector<std::wstring> strings;
    // The BSTR pointers as passed, same order as `strings` (lets a test see
    // that strings are passed by pointer, not copied).
    std::vector<const void*> bstrPointers;
    DWORD threadId = 0;
};

// Derives from IDispatch only, so that a TestSink* converts to IUnknown*
// without a cast; IPropertyNotifySink is a tear-off sharing its identity.
class TestSink final : public IDispatch {
public:
    struct Options {
        bool answersEventDiid = true;
        bool answersPropertyNotifySink = false;
        bool spoilsArguments = false;  // overwrites the argument block after recording it
    };
    static ComPtr<TestSink> Create();
    static ComPtr<TestSink> Create(Options options);

    // IUnknown (reference count is interlocked)
    STDMETHODIMP QueryInterface(REFIID iid, void** out) override;
    STDMETHODIMP_(ULONG) AddRef() override;
    STDMETHODIMP_(ULONG) Release() override;

    // IDispatch: only Invoke records; the type-info methods answer E_NOTIMPL.
    STDMETHODIMP GetTypeInfoCount(UINT* count) override;
    STDMETHODIMP GetTypeInfo(UINT index, LCID locale, ITypeInfo** typeInfo) override;
    STDMETHODIMP GetIDsOfNames(REFIID iid, LPOLESTR* names, UINT nameCount, LCID locale, DISPID* dispids) override;
    STDMETHODIMP Invoke(DISPID dispid, REFIID iid, LCID locale, WORD flags, DISPPARAMS* params, VARIANT* result,
                        EXCEPINFO* exception, UINT* argumentError) override;

    // From now on every Invoke records the call, runs the handler and then
    // returns `hr`; a failing hr also fills the EXCEPINFO (scode = hr, and the
    // given source / description when not empty). FailWith(S_OK) ends it.
    void FailWith(HRESULT hr, std::wstring source = {}, std::wstring description = {});

    // Runs inside every Invoke, after the call is recorded, on the raising
    // thread and without the sink's lock held (it may advise, unadvise,
    // block, ...). Pass an empty function to remove it.
    using Handler = std::function<void(const SinkCall&)>;
    void SetHandler(Handler handler);

    // Runs once when the last reference is released, before the sink is freed.
    void SetDestroyObserver(std::function<void()> observer);

    std::vector<SinkCall> Calls() const;
    std::size_t CallCount() const;
    // Waits until at least `count` calls have been recorded.
    bool WaitForCalls(std::size_t count, std::chrono::milliseconds timeout) const;
    void ClearCalls();
    // OnChanged/OnRequestEdit plus the IDispatch type-info methods: calls an
    // event source must never make.
    std::size_t OtherCalls() const;
    // Current reference count (for leak checks); exact only when no other
    // thread is changing it.
    ULONG RefCount() const;

private:
    class PropertyNotify final : public IPropertyNotifySink {
    public:
        explicit PropertyNotify(TestSink& owner) noexcept : owner_(owner) {}
        STDMETHODIMP QueryInterface(REFIID iid, void** out) override { return owner_.QueryInterface(iid, out); }
        STDMETHODIMP_(ULONG) AddRef() override { return owner_.AddRef(); }
        STDMETHODIMP_(ULONG) Release() override { return owner_.Release(); }
        STDMETHODIMP OnChanged(DISPID) override;
        STDMETHODIMP OnRequestEdit(DISPID) override;

    private:
        TestSink& owner_;
    };

    explicit TestSink(Options options) noexcept : options_(options) {}
    ~TestSink();
    void CountOtherCall();

    Options options_;
    PropertyNotify propertyNotify_{*this};
    LONG refs_ = 1;
    mutable std::mutex lock_;
    mutable std::condition_variable changed_;
    std::vector<SinkCall> calls_;
    std::size_t otherCalls_ = 0;
    HRESULT failWith_ = S_OK;
    std::wstring failSource_;
    std::wstring failDescription_;
    Handler handler_;
    std::function<void()> destroyObserver_;
};

}  // namespace quorvex::test
