// The host's sink for _IPkiAuthenticationPluginEvents. Events arrive on the
// plug-in's capture thread; the sink only queues them, and the main thread
// prints them (and asks the plug-in for status texts on its own thread).
#pragma once

#include <windows.h>
#include <oaidl.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <optional>
#include <string>

namespace quorvex::host {

struct PluginEvent {
    enum class Kind { StatusChanged, DataReady, Failed } kind;
    LONG code = 0;                               // StatusChanged, Failed
    std::wstring cardName, readerName, cspName;  // DataReady
};

class EventSink final : public IDispatch {
public:
    EventSink() = default;

    // Waits for the next event; empty when the deadline passed first.
    std::optional<PluginEvent> Next(std::chrono::steady_clock::time_point deadline);

    // IUnknown
    STDMETHODIMP QueryInterface(REFIID iid, void** out) override;
    STDMETHODIMP_(ULONG) AddRef() override;
    STDMETHODIMP_(ULONG) Release() override;
    // IDispatch
    STDMETHODIMP GetTypeInfoCount(UINT* count) override;
    STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo** info) override;
    STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override;
    STDMETHODIMP Invoke(DISPID dispid, REFIID, LCID, WORD, DISPPARAMS* params, VARIANT*, EXCEPINFO*, UINT*) override;

private:
    ~EventSink() = default;
    void Push(PluginEvent event);

    std::atomic<ULONG> refs_{1};
    std::mutex lock_;
    std::condition_variable arrived_;
    std::deque<PluginEvent> events_;
};

}  // namespace quorvex::host
