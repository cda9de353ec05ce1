// StartCapture, EndCapture, the capture worker and the worker stop procedure.
#include <memory>
#include <new>

#include "plugin/capture.h"
#include "plugin/capture_timing.h"
#include "plugin/smart_card_auth_plugin.h"
#include "win/hresult.h"
#include "win/module_lock.h"
#include "win/status_ids.h"
#include "win/unique_handle.h"
#include "win/unique_module.h"

namespace quorvex {
namespace {

constexpr wchar_t kGracefulText[] = L"SUCCESS: worker thread was terminated gracefully\n";
constexpr wchar_t kNotGracefulText[] = L"FAILURE FAILURE FAILURE: Failed to terminate worker thread gracefully\n";

// What StartCapture hands to its worker thread. Until a thread takes it over,
// it gives back what it holds when it ends.
struct WorkerStart {
    std::shared_ptr<Capture> capture;
    // A worker may outlive its object (a stop that timed out) and always runs
    // a few instructions after its last run: it holds a module lock and a
    // load reference of the DLL until its last instruction, so that a host
    // unloading the DLL as soon as DllCanUnloadNow allows cannot pull the
    // code from under it. No reference when the code is linked into a program.
    ModuleLockHold moduleLock;
    UniqueModule pinnedModule;
};

DWORD WINAPI CaptureWorker(void* parameter);

HMODULE PinModule() noexcept
{
    if (ModuleHandle() == ::GetModuleHandleW(nullptr)) return nullptr;
    HMODULE module = nullptr;
    ::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, reinterpret_cast<LPCWSTR>(&CaptureWorker), &module);
    return module;
}

DWORD WINAPI CaptureWorker(void* parameter)
{
    HMODULE pinnedModule = nullptr;
    {
        // The thread's own reference to its capture, handed over by StartCapture.
        const std::unique_ptr<WorkerStart> start(static_cast<WorkerStart*>(parameter));
        // Given back by this thread's last steps below.
        start->moduleLock.HandOn();
        pinnedModule = start->pinnedModule.release();
        start->capture->RunWorker();
        ::OutputDebugStringW(kGracefulText);
    }
    ModuleUnlock();
    if (pinnedModule) ::FreeLibraryAndExitThread(pinnedModule, 0);
    return 0;
}

}  // namespace

std::shared_ptr<Capture> CSmartCardAuthPlugin::StartWorker(std::unique_ptr<ReaderTableCopy> table) noexcept
{
    // Out of memory, the start is refused like a thread that cannot be created.
    std::shared_ptr<Capture> capture = NoThrowOr(std::shared_ptr<Capture>(), [&] {
        return std::make_shared<Capture>(Capture::Owner{&readers_, &eventPoint_}, std::move(*table));
    });
    if (!capture) return nullptr;
    std::unique_ptr<WorkerStart> start(new (std::nothrow) WorkerStart{capture, {}, {}});
    if (!start) return nullptr;
    start->pinnedModule.reset(PinModule());
    // Suspended, so that the capture knows its thread before the thread can
    // end; the caller publishes the capture before the thread can reach the
    // object.
    DWORD threadId = 0;
    UniqueHandle thread(::CreateThread(nullptr, 0, CaptureWorker, start.get(), CREATE_SUSPENDED, &threadId));
    if (!thread) return nullptr;
    const HANDLE handle = thread.get();
    capture->SetThread(std::move(thread), threadId);
    if (::ResumeThread(handle) == static_cast<DWORD>(-1)) {
        // The thread never ran, so what it was handed is still ours to free.
        ::TerminateThread(handle, 0);
        return nullptr;
    }
    (void)start.release();  // now the thread's
    return capture;
}

bool CSmartCardAuthPlugin::capturing() const noexcept
{
    std::shared_ptr<Capture> capture;
    {
        const SharedLock guard(captureLock_);
        capture = capture_;
    }
    return capture && ::WaitForSingleObject(capture->thread(), 0) == WAIT_TIMEOUT;
}

STDMETHODIMP CSmartCardAuthPlugin::StartCapture(BSTR, BSTR, BSTR, LONG* returnCode)
{
    if (!returnCode) return E_POINTER;

    // Taken now: a run watches the table as it stood when it was asked for.
    std::unique_ptr<ReaderTableCopy> table = readers_.Copy();
    bool started = false;
    if (table) {
        const ExclusiveLock guard(captureLock_);
        // Refused while a stop is under way. A worker whose run is ending
        // (its final event raised) takes the request and starts the next run
        // itself once the current one has ended; StartCapture never waits for
        // a worker, so a handler may call it from anywhere.
        if (stopsUnderWay_ == 0) {
            const Capture::Restart restart = capture_ ? capture_->RequestRestart(table)
                                                      : Capture::Restart::NeedsNewWorker;
            if (restart == Capture::Restart::Taken) {
                started = true;
            } else if (restart == Capture::Restart::NeedsNewWorker) {
                std::shared_ptr<Capture> capture = StartWorker(std::move(table));
                started = capture != nullptr;
                if (started) capture_ = std::move(capture);
            }
        }
    }
    SendStatusChanged(started ? status::kCaptureStarted : status::kCaptureNotStarted);
    *returnCode = started ? 0 : -1;
    return S_OK;
}

STDMETHODIMP CSmartCardAuthPlugin::EndCapture(LONG* returnCode)
{
    if (!returnCode) return E_POINTER;
    StopWorker(false);
    *returnCode = 0;
    return S_OK;
}

void CSmartCardAuthPlugin::StopWorker(bool destroying) noexcept
{
    std::shared_ptr<Capture> capture;
    {
        const ExclusiveLock guard(captureLock_);
        if (!capture_) return;
        capture = capture_;
        ++stopsUnderWay_;
    }
    capture->RequestStop();

    bool forget = true;
    if (capture->ended()) {
        // No worker handle any more: nothing to wait for, nothing to say.
    } else if (capture->threadId() == ::GetCurrentThreadId()) {
        // Stopped from inside one of the worker's own events: waiting for our
        // own thread could only sit out the time-out. The run raises and
        // connects nothing more. The object keeps its worker, so that a
        // StartCapture made afterwards restarts it rather than opening a
        // second watch beside the one still finishing; a dying object cuts
        // the worker off instead.
        if (destroying) {
            capture->Abandon();
        } else {
            capture->SilenceRun();
            forget = false;
        }
        ::OutputDebugStringW(kNotGracefulText);
    } else if (::WaitForSingleObject(capture->thread(), Timing().stopBoundMs.load()) == WAIT_TIMEOUT) {
        ::OutputDebugStringW(kNotGracefulText);
        // The object may be destroyed right after this, and a later capture
        // gets a worker of its own: the late worker is cut off from both.
        capture->Abandon();
    } else {
        ::OutputDebugStringW(kGracefulText);
    }

    const ExclusiveLock guard(captureLock_);
    if (forget && capture_ == capture) capture_.reset();
    --stopsUnderWay_;
}

}  // namespace quorvex
