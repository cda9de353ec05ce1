// CSmartCardAuthPlugin: the plug-in object. Its behaviour is spread over one
// file per concern:
//   plugin/smart_card_auth_plugin.cpp   identity, QueryInterface, aggregation, lifecycle, GetGUID
//   plugin/connection_point_container.cpp  IConnectionPointContainer
//   plugin/status_notifications.cpp     SendStatusChanged and the event raising members
//   plugin/capture_worker.cpp           StartCapture, EndCapture, the worker and its stop procedure
//   smartcard/reader_enumeration.cpp    GetDeviceCount, GetDeviceID, OpenDevice
//   smartcard/card_watch.cpp, card_identification.cpp  SendDataReadyEventForCurrentCard
//   resources/status_string.cpp         GetStatusString
//   module/dispatch_names.cpp, dispatch_invoke.cpp, interface_type_info.cpp  IDispatch
//   module/coclass_type_info.cpp        GetClassInfo
#pragma once

#include <windows.h>
#include <ocidl.h>

#include <atomic>
#include <memory>
#include <vector>

#include "plugin/connection_point.h"
#include "quorvex_h.h"
#include "win/unique_bstr.h"
#include "win/unique_handle.h"

namespace quorvex {

class CaptureSession;

inline constexpr int kReaderSlots = 16;

class CSmartCardAuthPlugin final : public IProvideClassInfo2,
                                   public IPkiAuthenticationPlugin,
                                   public IConnectionPointContainer {
public:
    // Instance creator of the class table: stand-alone when outer is null,
    // otherwise aggregated (then iid must be IID_IUnknown and the private inner
    // IUnknown is handed out).
    static HRESULT CreateInstance(IUnknown* outer, REFIID iid, void** out);

    // IUnknown: the controlling unknown (the outer object's when aggregated).
    STDMETHODIMP QueryInterface(REFIID iid, void** out) override;
    STDMETHODIMP_(ULONG) AddRef() override;
    STDMETHODIMP_(ULONG) Release() override;

    // IProvideClassInfo / IProvideClassInfo2
    STDMETHODIMP GetClassInfo(ITypeInfo** typeInfo) override;
    STDMETHODIMP GetGUID(DWORD guidKind, GUID* guid) override;

    // IDispatch
    STDMETHODIMP GetTypeInfoCount(UINT* count) override;
    STDMETHODIMP GetTypeInfo(UINT index, LCID locale, ITypeInfo** typeInfo) override;
    STDMETHODIMP GetIDsOfNames(REFIID iid, LPOLESTR* names, UINT nameCount, LCID locale, DISPID* dispids) override;
    STDMETHODIMP Invoke(DISPID dispid, REFIID iid, LCID locale, WORD flags, DISPPARAMS* params, VARIANT* result,
                        EXCEPINFO* exception, UINT* argumentError) override;

    // IPkiAuthenticationPlugin
    STDMETHODIMP OpenDevice(BSTR deviceID, LONG* returnCode) override;
    STDMETHODIMP StartCapture(BSTR username, BSTR domainname, BSTR pin, LONG* returnCode) override;
    STDMETHODIMP EndCapture(LONG* returnCode) override;
    STDMETHODIMP GetDeviceID(LONG refCount, BSTR* deviceID) override;
    STDMETHODIMP GetDeviceCount(BSTR username, BSTR domainname, LONG* refCount) override;
    STDMETHODIMP GetStatusString(LONG statusCode, BSTR* statusString, LONG* returnCode) override;

    // IConnectionPointContainer
    STDMETHODIMP EnumConnectionPoints(IEnumConnectionPoints** points) override;
    STDMETHODIMP FindConnectionPoint(REFIID iid, IConnectionPoint** point) override;

    // The one routine through which StatusChanged is raised.
    void SendStatusChanged(LONG statusId);
    // Event raising on the host's thread (the capture worker raises through its
    // CaptureSession instead).
    HRESULT FireStatusChanged(LONG statusCode);
    HRESULT FireDataReady(BSTR smartCardName, BSTR smartCardReader, BSTR cspName);
    HRESULT FireFailed(LONG statusCode);

    // Read-only views for the capture worker and for tests.
    LONG selectedIndex() const noexcept { return selectedIndex_.load(); }
    void setSelectedIndex(LONG index) noexcept { selectedIndex_.store(index); }
    ULONG readerCount() const noexcept { return readerCount_; }
    BSTR readerName(int slot) const noexcept { return readerNames_[slot].get(); }
    HMODULE resourceHandle() const noexcept { return resourceHandle_; }
    ConnectionPoint& eventConnectionPoint() noexcept { return eventPoint_; }
    ConnectionPoint& propertyNotifyConnectionPoint() noexcept { return propertyNotifyPoint_; }
    // A capture worker as the object knows it: the thread handle that the stop
    // procedure waits on, and the session shared with the worker. Stop flag
    // and watch context live in the session, so that a worker that outlives a
    // timed-out stop never touches this object or a later capture.
    struct WorkerThread {
        std::shared_ptr<CaptureSession> session;
        UniqueHandle thread;
    };

    // True while a capture worker of this object is known to run, including
    // one that is only finishing after its final event.
    bool capturing() const noexcept;

private:
    // The private inner IUnknown handed to an aggregating outer object.
    class InnerUnknown final : public IUnknown {
    public:
        explicit InnerUnknown(CSmartCardAuthPlugin& object) noexcept : object_(object) {}
        STDMETHODIMP QueryInterface(REFIID iid, void** out) override;
        STDMETHODIMP_(ULONG) AddRef() override;
        STDMETHODIMP_(ULONG) Release() override;

    private:
        CSmartCardAuthPlugin& object_;
    };

    explicit CSmartCardAuthPlugin(IUnknown* outer);
    ~CSmartCardAuthPlugin();

    // The interface table, reference added through the controlling unknown.
    HRESULT InternalQueryInterface(REFIID iid, void** out) noexcept;
    ULONG InternalAddRef() noexcept;
    ULONG InternalRelease() noexcept;

    // The worker stop procedure, shared by EndCapture and destruction.
    void StopWorker() noexcept;
    // True while the newest capture's watch goes on: StartCapture is refused then.
    bool watchRunning() const noexcept;
    // Forgets the workers that have ended.
    void ReapEndedWorkers() noexcept;

    // Members in their documented order, interface pointers aside.
    ConnectionPoint eventPoint_;
    ConnectionPoint propertyNotifyPoint_;
    std::atomic<LONG> refCount_{0};
    IUnknown* outer_ = nullptr;  // controlling unknown when aggregated
    InnerUnknown inner_{*this};
    HMODULE resourceHandle_ = nullptr;
    UniqueBstr readerNames_[kReaderSlots];
    std::atomic<LONG> selectedIndex_{-1};
    ULONG readerCount_ = 0;
    // Every capture worker that may still run, newest last. Older entries have
    // raised their final event and are only finishing; they are kept so that
    // EndCapture and destruction still wait for them.
    std::vector<WorkerThread> workers_;

    friend class CaptureSession;
};

}  // namespace quorvex
