// One connection of a connection point: the sink, whether it is still
// connected, and how many event calls into it are under way. An event pass
// checks the flag right before each call and Unadvise waits for the calls
// under way on other threads, so no call begins after Unadvise returned.
#pragma once

#include <windows.h>
#include <unknwn.h>

#include <atomic>
#include <utility>

#include "win/com_ptr.h"
#include "win/ref_count.h"
#include "win/unique_handle.h"

namespace quorvex {

class SinkConnection {
public:
    // Empty when out of memory.
    static ComPtr<SinkConnection> Create(ComPtr<IUnknown> sink) noexcept;

    SinkConnection(const SinkConnection&) = delete;
    SinkConnection& operator=(const SinkConnection&) = delete;

    ULONG AddRef() noexcept { return references_.Increment(); }
    ULONG Release() noexcept { return references_.Release(this); }

    IUnknown* sink() const noexcept { return sink_.get(); }

    // Unadvise and object destruction: no call begins after this.
    void Disconnect() noexcept { connected_.store(false); }

    // After Disconnect: waits (at most `timeoutMs`) until the calls under way
    // on other threads have returned. Calls made further up the caller's own
    // stack (a sink that unadvises itself from its handler) are not waited
    // for. Pumps COM calls and sent messages in a single-threaded apartment,
    // so a sink that calls back into the waiting thread cannot deadlock it.
    // False when the time ran out.
    bool WaitForOtherCalls(DWORD timeoutMs) noexcept;

    // One event pass on the calling thread. Passes chain up the thread's
    // stack (a handler may raise another event), so Unadvise can tell the
    // thread's own calls from those of other threads.
    class Pass {
    public:
        Pass() noexcept;
        ~Pass();
        Pass(const Pass&) = delete;
        Pass& operator=(const Pass&) = delete;

    private:
        friend class SinkConnection;
        const SinkConnection* current_ = nullptr;  // the sink being called
        Pass* outer_;
    };

    // Brackets one event call into the sink within a pass. Connected() is
    // false when the sink must not be called.
    class Call {
    public:
        Call(Pass& pass, SinkConnection& connection) noexcept;
        ~Call();
        Call(const Call&) = delete;
        Call& operator=(const Call&) = delete;

        bool Connected() const noexcept { return connection_.connected_.load(); }

    private:
        Pass& pass_;
        SinkConnection& connection_;
    };

private:
    friend class RefCount<SinkConnection>;
    explicit SinkConnection(ComPtr<IUnknown> sink) noexcept : sink_(std::move(sink)) {}
    ~SinkConnection() = default;

    // Calls into this sink on the calling thread's stack.
    LONG CallsOnThisThread() const noexcept;

    RefCount<SinkConnection> references_;
    ComPtr<IUnknown> sink_;
    std::atomic<bool> connected_{true};
    std::atomic<LONG> callsUnderWay_{0};
    // Created by the one thread that disconnects and waits, which owns it in
    // callEndedOwner_ and publishes it in callEnded_; signalled after every
    // call that ends while it is set; closed with the connection.
    UniqueHandle callEndedOwner_;
    std::atomic<HANDLE> callEnded_{nullptr};
};

}  // namespace quorvex
