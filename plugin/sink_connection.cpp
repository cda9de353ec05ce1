#include "plugin/sink_connection.h"

#include <objbase.h>

#include <new>
#include <utility>

namespace quorvex {

namespace {

// Each thread's innermost event pass, chained to the enclosing ones. A TLS
// index of the module's own rather than thread_local: nothing is allocated per
// thread, so capture workers come and go without leaving anything behind.
class CallChain {
public:
    CallChain() noexcept : index_(::TlsAlloc()) {}
    ~CallChain()
    {
        if (index_ != TLS_OUT_OF_INDEXES) ::TlsFree(index_);
    }
    CallChain(const CallChain&) = delete;
    CallChain& operator=(const CallChain&) = delete;

    bool usable() const noexcept { return index_ != TLS_OUT_OF_INDEXES; }
    SinkConnection::Pass* innermost() const noexcept
    {
        return usable() ? static_cast<SinkConnection::Pass*>(::TlsGetValue(index_)) : nullptr;
    }
    void set(SinkConnection::Pass* pass) const noexcept
    {
        if (usable()) ::TlsSetValue(index_, pass);
    }

private:
    DWORD index_;
};

const CallChain callChain;

bool InSingleThreadedApartment() noexcept
{
    APTTYPE type{};
    APTTYPEQUALIFIER qualifier{};
    if (FAILED(::CoGetApartmentType(&type, &qualifier))) return false;
    return type == APTTYPE_STA || type == APTTYPE_MAINSTA;
}

}  // namespace

ComPtr<SinkConnection> SinkConnection::Create(ComPtr<IUnknown> sink) noexcept
{
    ComPtr<SinkConnection> connection;
    connection.attach(new (std::nothrow) SinkConnection(std::move(sink)));
    return connection;
}

SinkConnection::Pass::Pass() noexcept : outer_(callChain.innermost()) { callChain.set(this); }

SinkConnection::Pass::~Pass() { callChain.set(outer_); }

SinkConnection::Call::Call(Pass& pass, SinkConnection& connection) noexcept : pass_(pass), connection_(connection)
{
    // Counted before the flag is read: a Disconnect that races with this
    // either is seen by Connected() or sees this call and waits for it.
    ++connection_.callsUnderWay_;
    pass_.current_ = &connection_;
}

SinkConnection::Call::~Call()
{
    pass_.current_ = nullptr;
    --connection_.callsUnderWay_;
    if (HANDLE event = connection_.callEnded_.load()) ::SetEvent(event);
}

LONG SinkConnection::CallsOnThisThread() const noexcept
{
    LONG calls = 0;
    for (const Pass* pass = callChain.innermost(); pass; pass = pass->outer_) {
        if (pass->current_ == this) ++calls;
    }
    return calls;
}

bool SinkConnection::WaitForOtherCalls(DWORD timeoutMs) noexcept
{
    // Without a TLS slot the thread's own calls cannot be told apart, and
    // waiting for them would never end: do not wait at all.
    if (!callChain.usable()) return true;
    const LONG own = CallsOnThisThread();
    if (callsUnderWay_.load() <= own) return true;

    if (!callEndedOwner_) {
        callEndedOwner_.reset(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
        if (!callEndedOwner_) return false;
        callEnded_.store(callEndedOwner_.get());
    }
    HANDLE event = callEndedOwner_.get();
    const bool pump = InSingleThreadedApartment();
    const ULONGLONG deadline = ::GetTickCount64() + timeoutMs;
    for (;;) {
        ::ResetEvent(event);
        if (callsUnderWay_.load() <= own) return true;
        const ULONGLONG now = ::GetTickCount64();
        if (now >= deadline) return false;
        const DWORD wait = static_cast<DWORD>(deadline - now);
        if (pump) {
            DWORD index = 0;
            ::CoWaitForMultipleHandles(0, wait, 1, &event, &index);
        } else {
            ::WaitForSingleObject(event, wait);
        }
    }
}

}  // namespace quorvex
