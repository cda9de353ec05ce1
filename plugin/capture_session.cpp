#include "plugin/capture_session.h"

#include <algorithm>
#include <new>

#include "win/unique_handle.h"

namespace quorvex {

std::shared_ptr<CaptureSession> CaptureSession::Create(CSmartCardAuthPlugin& owner) noexcept
{
    std::shared_ptr<CaptureSession> session;
    try {
        session = std::make_shared<CaptureSession>(owner);
    } catch (...) {
        return nullptr;
    }
    for (int slot = 0; slot < kReaderSlots; ++slot) {
        const BSTR name = owner.readerName(slot);
        session->readerNames_[slot] = CopyBstr(name);
        if (name && !session->readerNames_[slot]) return nullptr;
    }
    session->readerCount_ = std::min<ULONG>(owner.readerCount(), kReaderSlots);
    session->selectedIndex_ = owner.selectedIndex();
    return session;
}

void CaptureSession::SetSelectedIndex(LONG index) noexcept
{
    selectedIndex_ = index;
    try {
        std::lock_guard<std::mutex> guard(lock_);
        if (owner_) owner_->setSelectedIndex(index);
    } catch (...) {
    }
}

void CaptureSession::SetWatchContext(SCARDCONTEXT context) noexcept
{
    try {
        std::lock_guard<std::mutex> guard(lock_);
        watchContext_ = context;
    } catch (...) {
        // Only a broken mutex gets here; the context then simply cannot be
        // cancelled, and the watch still ends at its next timed-out wait.
    }
}

void CaptureSession::AbandonAndCancel() noexcept
{
    try {
        std::lock_guard<std::mutex> guard(lock_);
        owner_ = nullptr;
        abandoned_.store(true);
        // No watch context yet (0): nothing to cancel; the watch will see the
        // stop flag after its first wait.
        if (watchContext_ != 0) ::SCardCancel(watchContext_);
    } catch (...) {
        owner_ = nullptr;
        abandoned_.store(true);
    }
}

SinkSnapshot CaptureSession::Sinks() noexcept
{
    try {
        std::lock_guard<std::mutex> guard(lock_);
        if (owner_) return owner_->eventConnectionPoint().Snapshot();
    } catch (...) {
    }
    return {};
}

void CaptureSession::SendStatusChanged(LONG statusId) noexcept
{
    try {
        // A status that raises no event needs no sinks.
        SendStatusChangedTo(StatusCategory(statusId) == 0 ? SinkSnapshot() : Sinks(), statusId);
    } catch (...) {
    }
}

void CaptureSession::MarkOver() noexcept { const UniqueHandle slot(worker.exchange(nullptr)); }

void CaptureSession::FireFailed(LONG statusCode) noexcept
{
    // Out of the slot before the event, closed after it: closing is a trip
    // to the kernel that the host need not wait for.
    const UniqueHandle slot(worker.exchange(nullptr));
    try {
        RaiseFailed(Sinks(), statusCode);
    } catch (...) {
    }
}

void CaptureSession::FireDataReady(BSTR smartCardName, BSTR smartCardReader, BSTR cspName) noexcept
{
    const UniqueHandle slot(worker.exchange(nullptr));  // as in FireFailed
    try {
        RaiseDataReady(Sinks(), smartCardName, smartCardReader, cspName);
    } catch (...) {
    }
}

}  // namespace quorvex
