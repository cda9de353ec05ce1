// CSmartCardAuthPlugin: the plug-in object. Its behaviour is spread over one
// file per concern:
//   plugin/smart_card_auth_plugin.cpp   identity, QueryInterface, aggregation, lifecycle, GetGUID
//   plugin/connection_point_container.cpp  IConnectionPointContainer
//   plugin/status_notifications.cpp     SendStatusChanged and the event raising members
//   plugin/capture_worker.cpp           StartCapture, EndCapture, the worker and its stop procedure
//   plugin/capture.cpp                  one worker's runs of the card watch (smartcard/card_watch.cpp)
//   plugin/reader_methods.cpp           GetDeviceCount, GetDeviceID, OpenDevice
//   plugin/status_string.cpp            GetStatusString
//   plugin/dispatch_names.cpp, dispatch_invoke.cpp, interface_type_info.cpp  IDispatch
//   plugin/coclass_type_info.cpp        GetClassInfo
#pragma once

#include <windows.h>
#include <ocidl.h>

#include <atomic>
#include <memory>
#include <vector>

#include "plugin/connection_point.h"
#include "plugin/reader_table.h"
#include "quorvex_h.h"
#include "win/ref_count.h"
#include "win/srw_lock.h"
#include "win/thread_annotations.h"

namespace quorvex {

class Capture;

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

private:
    // The tests' window on the object's state (tests/support): the object
    // itself offers nothing beyond its interfaces.
    friend class PluginInspector;
    friend class RefCount<CSmartCardAuthPlugin>;

    // The one routine through which StatusChanged is raised.
    void SendStatusChanged(LONG statusId);
    // Event raising on the host's thread (the capture worker raises through
    // its Capture instead).
    HRESULT FireStatusChanged(LONG statusCode);
    HRESULT FireDataReady(BSTR smartCardName, BSTR smartCardReader, BSTR cspName);
    HRESULT FireFailed(LONG statusCode);
    // True while a capture worker of this object runs, including one that is
    // only finishing after its final event.
    bool capturing() const noexcept EXCLUDES(captureLock_);

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
    void StopWorker(bool destroying) noexcept EXCLUDES(captureLock_);
    // A new worker for its first run on `table`; null when none could be
    // started.
    std::shared_ptr<Capture> StartWorker(std::unique_ptr<ReaderTableCopy> table) noexcept REQUIRES(captureLock_);

    // Members in their documented order, interface pointers aside.
    ConnectionPoint eventPoint_;
    ConnectionPoint propertyNotifyPoint_;
    RefCount<CSmartCardAuthPlugin> refCount_;
    IUnknown* outer_ = nullptr;  // controlling unknown when aggregated
    InnerUnknown inner_{*this};
    ReaderTable readers_;
    // The capture worker, if any: set by StartCapture, forgotten by the stop
    // procedure. Any thread that calls into the object may read or change it,
    // the host's and a handler on the worker's own; never held while waiting,
    // raising an event or calling the smart-card service.
    //
    // Lock order, for every lock of the object and its parts: captureLock_,
    // then the capture's Capture::lock_, then a connection point's lock.
    // ReaderTable's lock is taken alone. A lock is never taken while a later
    // one is held.
    mutable SrwLock captureLock_;
    std::shared_ptr<Capture> capture_ GUARDED_BY(captureLock_);
    // Stop procedures under way, which may run on several threads at once
    // (the host's and a handler's): StartCapture is refused until the last
    // has returned, even once an earlier one has forgotten the worker.
    int stopsUnderWay_ GUARDED_BY(captureLock_) = 0;
};

}  // namespace quorvex
