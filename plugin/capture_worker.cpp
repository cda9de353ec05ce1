// StartCapture, EndCapture, the capture worker and the worker stop procedure.
#include <memory>

#include "module/module_state.h"
#include "plugin/capture_session.h"
#include "plugin/smart_card_auth_plugin.h"
#include "plugin/status_ids.h"
#include "smartcard/card_watch.h"
#include "win/unique_handle.h"

namespace quorvex {
namespace {

constexpr DWORD kStopTimeoutMs = 15000;

constexpr wchar_t kGracefulText[] = L"SUCCESS: worker thread was terminated gracefully\n";
constexpr wchar_t kNotGracefulText[] = L"FAILURE FAILURE FAILURE: Failed to terminate worker thread gracefully\n";

// What StartCapture hands to its worker thread.
struct WorkerStart {
    std::shared_ptr<CaptureSession> session;
    // A worker may outlive its object (a stop that timed out) and always runs
    // a few instructions after clearing its handle: it holds a module lock and
    // a load reference of the DLL until its last instruction, so that a host
    // unloading the DLL as soon as DllCanUnloadNow allows cannot pull the
    // code from under it. Null when the code is linked into a program.
    HMODULE pinnedModule = nullptr;
};

DWORD WINAPI CaptureWorker(void* parameter);

HMODULE PinModule() noexcept
{
    if (ModuleHandle() == ::GetModuleHandleW(nullptr)) return nullptr;
    HMODULE module = nullptr;
    ::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, reinterpret_cast<LPCWSTR>(&CaptureWorker), &module);
    return module;
}

// Gives back what WorkerStart holds when no thread took it over.
struct WorkerStartDeleter {
    void operator()(WorkerStart* start) const noexcept
    {
        ModuleUnlock();
        if (start->pinnedModule) ::FreeLibrary(start->pinnedModule);
        delete start;
    }
};

DWORD WINAPI CaptureWorker(void* parameter)
{
    HMODULE pinnedModule = nullptr;
    {
        // The thread's own reference to its session, handed over by StartCapture.
        const std::unique_ptr<WorkerStart> start(static_cast<WorkerStart*>(parameter));
        pinnedModule = start->pinnedModule;
        CaptureSession& session = *start->session;

        try {
            SendDataReadyEventForCurrentCard(session);
        } catch (...) {
            // Nothing may leave the thread's start routine.
        }

        // Null in the slot tells the object that no worker runs any more; a
        // stop procedure that took the handle out first closes it instead.
        UniqueHandle own(session.worker.exchange(nullptr));
        own.reset();
        ::OutputDebugStringW(kGracefulText);
    }
    ModuleUnlock();
    if (pinnedModule) ::FreeLibraryAndExitThread(pinnedModule, 0);
    return 0;
}

// The worker's session with its handle in place, or null when no thread could
// be started. The thread is created suspended so that its handle is stored
// before it can reach its end.
std::shared_ptr<CaptureSession> StartWorker(CSmartCardAuthPlugin& owner) noexcept
{
    std::shared_ptr<CaptureSession> session = CaptureSession::Create(owner);
    if (!session) return nullptr;

    std::unique_ptr<WorkerStart, WorkerStartDeleter> start;
    try {
        start.reset(new WorkerStart{session, nullptr});
    } catch (...) {
        return nullptr;
    }
    ModuleLock();  // given back by the deleter or by the worker's last steps
    start->pinnedModule = PinModule();
    UniqueHandle thread(::CreateThread(nullptr, 0, CaptureWorker, start.get(), CREATE_SUSPENDED, nullptr));
    if (!thread) return nullptr;
    session->worker.store(thread.get());
    if (::ResumeThread(thread.get()) == static_cast<DWORD>(-1)) {
        // The thread never ran, so its reference is still ours to free.
        session->worker.store(nullptr);
        ::TerminateThread(thread.get(), 0);
        return nullptr;
    }
    (void)thread.release();     // now in the session's slot
    (void)start.release();      // now the thread's
    return session;
}

}  // namespace

bool CSmartCardAuthPlugin::capturing() const noexcept { return capture_ && capture_->worker.load() != nullptr; }

STDMETHODIMP CSmartCardAuthPlugin::StartCapture(BSTR, BSTR, BSTR, LONG* returnCode)
{
    if (!returnCode) return E_POINTER;

    if (capturing()) {
        SendStatusChanged(status::kCaptureNotStarted);
        *returnCode = -1;
        return S_OK;
    }
    // A session whose worker ended by itself is done with.
    capture_ = StartWorker(*this);
    if (!capture_) {
        SendStatusChanged(status::kCaptureNotStarted);
        *returnCode = -1;
        return S_OK;
    }
    SendStatusChanged(status::kCaptureStarted);
    *returnCode = 0;
    return S_OK;
}

STDMETHODIMP CSmartCardAuthPlugin::EndCapture(LONG* returnCode)
{
    if (!returnCode) return E_POINTER;
    StopWorker();
    *returnCode = 0;
    return S_OK;
}

void CSmartCardAuthPlugin::StopWorker() noexcept
{
    const std::shared_ptr<CaptureSession> session = std::move(capture_);
    if (!session) return;
    // Taken out before waiting, so the ending worker never closes a handle
    // that is being waited on; null means the worker has ended already.
    const UniqueHandle worker(session->worker.exchange(nullptr));
    if (!worker) return;

    session->stop.store(true);
    if (::WaitForSingleObject(worker.get(), kStopTimeoutMs) == WAIT_TIMEOUT) {
        ::OutputDebugStringW(kNotGracefulText);
        // The object may be destroyed right after this, and a later capture
        // gets a session of its own: the late worker is cut off from both.
        // Its stop flag stays set so that its watch ends at the next wait.
        session->AbandonAndCancel();
    } else {
        ::OutputDebugStringW(kGracefulText);
    }
}

}  // namespace quorvex
