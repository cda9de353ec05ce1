// StartCapture, EndCapture, the capture worker and the worker stop procedure.
#include <memory>

#include "plugin/capture_session.h"
#include "plugin/smart_card_auth_plugin.h"
#include "smartcard/card_watch.h"
#include "win/unique_handle.h"

namespace quorvex {
namespace {

constexpr DWORD kStopTimeoutMs = 15000;
constexpr LONG kStatusWorkerStarted = 204;
constexpr LONG kStatusNoWorker = 217;

constexpr wchar_t kGracefulText[] = L"SUCCESS: worker thread was terminated gracefully\n";
constexpr wchar_t kNotGracefulText[] = L"FAILURE FAILURE FAILURE: Failed to terminate worker thread gracefully\n";

DWORD WINAPI CaptureWorker(void* parameter)
{
    // The thread's own reference to its session, handed over by StartCapture.
    const std::unique_ptr<std::shared_ptr<CaptureSession>> reference(
        static_cast<std::shared_ptr<CaptureSession>*>(parameter));
    CaptureSession& session = **reference;

    try {
        SendDataReadyEventForCurrentCard(session);
    } catch (...) {
        // Nothing may leave the thread's start routine.
    }

    // Null in the slot tells the object that no worker runs any more; a stop
    // procedure that took the handle out first closes it instead.
    UniqueHandle own(session.worker.exchange(nullptr));
    own.reset();
    ::OutputDebugStringW(kGracefulText);
    return 0;
}

// The worker's session with its handle in place, or null when no thread could
// be started. The thread is created suspended so that its handle is stored
// before it can reach its end.
std::shared_ptr<CaptureSession> StartWorker(CSmartCardAuthPlugin& owner) noexcept
{
    std::shared_ptr<CaptureSession> session = CaptureSession::Create(owner);
    if (!session) return nullptr;

    std::unique_ptr<std::shared_ptr<CaptureSession>> reference;
    try {
        reference = std::make_unique<std::shared_ptr<CaptureSession>>(session);
    } catch (...) {
        return nullptr;
    }
    UniqueHandle thread(::CreateThread(nullptr, 0, CaptureWorker, reference.get(), CREATE_SUSPENDED, nullptr));
    if (!thread) return nullptr;
    session->worker.store(thread.get());
    if (::ResumeThread(thread.get()) == static_cast<DWORD>(-1)) {
        // The thread never ran, so its reference is still ours to free.
        session->worker.store(nullptr);
        ::TerminateThread(thread.get(), 0);
        return nullptr;
    }
    (void)thread.release();     // now in the session's slot
    (void)reference.release();  // now the thread's
    return session;
}

}  // namespace

bool CSmartCardAuthPlugin::capturing() const noexcept { return capture_ && capture_->worker.load() != nullptr; }

STDMETHODIMP CSmartCardAuthPlugin::StartCapture(BSTR, BSTR, BSTR, LONG* returnCode)
{
    if (!returnCode) return E_POINTER;

    if (capturing()) {
        SendStatusChanged(kStatusNoWorker);
        *returnCode = -1;
        return S_OK;
    }
    // A session whose worker ended by itself is done with.
    capture_ = StartWorker(*this);
    if (!capture_) {
        SendStatusChanged(kStatusNoWorker);
        *returnCode = -1;
        return S_OK;
    }
    SendStatusChanged(kStatusWorkerStarted);
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
