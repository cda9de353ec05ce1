// StartCapture, EndCapture, the capture worker and the worker stop procedure.
#include <memory>
#include <vector>

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

        // A watch that ended quietly still holds its slot.
        session.MarkOver();
        ::OutputDebugStringW(kGracefulText);
    }
    ModuleUnlock();
    if (pinnedModule) ::FreeLibraryAndExitThread(pinnedModule, 0);
    return 0;
}

// Starts a worker on a new session. The session's worker slot gets a handle of
// the thread's own (closed by whoever takes it out first: the watch before its
// final event, the worker at its end); the object keeps the returned one to
// wait on. The thread is created suspended so that the slot is filled before
// the worker can reach its end. Null thread when no worker could be started.
CSmartCardAuthPlugin::WorkerThread StartWorker(CSmartCardAuthPlugin& owner) noexcept
{
    std::shared_ptr<CaptureSession> session = CaptureSession::Create(owner);
    if (!session) return {};

    std::unique_ptr<WorkerStart, WorkerStartDeleter> start;
    try {
        start.reset(new WorkerStart{session, nullptr});
    } catch (...) {
        return {};
    }
    ModuleLock();  // given back by the deleter or by the worker's last steps
    start->pinnedModule = PinModule();
    UniqueHandle thread(::CreateThread(nullptr, 0, CaptureWorker, start.get(), CREATE_SUSPENDED, nullptr));
    if (!thread) return {};
    HANDLE slot = nullptr;
    if (::DuplicateHandle(::GetCurrentProcess(), thread.get(), ::GetCurrentProcess(), &slot, 0, FALSE,
                          DUPLICATE_SAME_ACCESS)) {
        session->worker.store(slot);
        if (::ResumeThread(thread.get()) != static_cast<DWORD>(-1)) {
            (void)start.release();  // now the thread's
            return {std::move(session), std::move(thread)};
        }
    }
    // The thread never ran, so its reference is still ours to free.
    const UniqueHandle unused(session->worker.exchange(nullptr));
    ::TerminateThread(thread.get(), 0);
    return {};
}

}  // namespace

bool CSmartCardAuthPlugin::capturing() const noexcept
{
    for (const WorkerThread& worker : workers_) {
        if (::WaitForSingleObject(worker.thread.get(), 0) == WAIT_TIMEOUT) return true;
    }
    return false;
}

bool CSmartCardAuthPlugin::watchRunning() const noexcept
{
    return !workers_.empty() && workers_.back().session->worker.load() != nullptr;
}

void CSmartCardAuthPlugin::ReapEndedWorkers() noexcept
{
    std::erase_if(workers_, [](const WorkerThread& worker) {
        return ::WaitForSingleObject(worker.thread.get(), 0) != WAIT_TIMEOUT;
    });
}

STDMETHODIMP CSmartCardAuthPlugin::StartCapture(BSTR, BSTR, BSTR, LONG* returnCode)
{
    if (!returnCode) return E_POINTER;

    // A watch that has raised its final event no longer counts: the host may
    // react to DataReady or Failed with a new capture at once, even while that
    // worker still disconnects and releases its context.
    ReapEndedWorkers();
    bool started = false;
    if (!watchRunning()) {
        try {
            // Room first: a worker that runs must always be on the list, or a
            // stop could not wait for it.
            workers_.reserve(workers_.size() + 1);
            WorkerThread worker = StartWorker(*this);
            if (worker.thread) {
                workers_.push_back(std::move(worker));
                started = true;
            }
        } catch (...) {
        }
    }
    SendStatusChanged(started ? status::kCaptureStarted : status::kCaptureNotStarted);
    *returnCode = started ? 0 : -1;
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
    ReapEndedWorkers();
    if (workers_.empty()) return;
    const std::vector<WorkerThread> workers = std::move(workers_);
    workers_.clear();

    for (const WorkerThread& worker : workers) worker.session->stop.store(true);
    // One 15 s budget for all of them: older workers are only finishing.
    const ULONGLONG deadline = ::GetTickCount64() + kStopTimeoutMs;
    bool graceful = true;
    for (const WorkerThread& worker : workers) {
        const ULONGLONG now = ::GetTickCount64();
        const DWORD left = now < deadline ? static_cast<DWORD>(deadline - now) : 0;
        // A sink that ends the capture (or drops the object) from inside one
        // of the worker's own events: waiting for our own thread could only
        // sit out the time-out.
        const bool self = ::GetThreadId(worker.thread.get()) == ::GetCurrentThreadId();
        if (!self && ::WaitForSingleObject(worker.thread.get(), left) != WAIT_TIMEOUT) continue;
        // The object may be destroyed right after this, and a later capture
        // gets a session of its own: the late worker is cut off from both.
        // Its stop flag stays set so that its watch ends at the next wait.
        worker.session->AbandonAndCancel();
        graceful = false;
    }
    ::OutputDebugStringW(graceful ? kGracefulText : kNotGracefulText);
}

}  // namespace quorvex
