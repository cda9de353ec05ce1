// Owners of PC/SC resources: a context that releases itself, a card handle
// that disconnects leaving the card as it is, and a buffer that the service
// allocated (SCARD_AUTOALLOCATE) and that goes back through SCardFreeMemory.
#pragma once

#include <windows.h>
#include <winscard.h>

#include <utility>

namespace quorvex {

class ScardContext {
public:
    ScardContext() noexcept = default;
    ~ScardContext() { reset(); }
    ScardContext(const ScardContext&) = delete;
    ScardContext& operator=(const ScardContext&) = delete;

    LONG Establish(DWORD scope = SCARD_SCOPE_SYSTEM) noexcept
    {
        reset();
        SCARDCONTEXT context = 0;
        const LONG result = ::SCardEstablishContext(scope, nullptr, nullptr, &context);
        if (result == SCARD_S_SUCCESS) context_ = context;
        return result;
    }
    // Releases now and reports the service's answer; the owner is empty after.
    LONG Release() noexcept
    {
        const SCARDCONTEXT context = std::exchange(context_, 0);
        return context ? ::SCardReleaseContext(context) : SCARD_S_SUCCESS;
    }
    void reset() noexcept { Release(); }
    SCARDCONTEXT get() const noexcept { return context_; }
    explicit operator bool() const noexcept { return context_ != 0; }

private:
    SCARDCONTEXT context_ = 0;
};

class ScardCard {
public:
    ScardCard() noexcept = default;
    ~ScardCard() { reset(); }
    ScardCard(ScardCard&& other) noexcept : card_(std::exchange(other.card_, 0)) {}
    ScardCard& operator=(ScardCard&& other) noexcept
    {
        if (this != &other) {
            reset();
            card_ = std::exchange(other.card_, 0);
        }
        return *this;
    }
    ScardCard(const ScardCard&) = delete;
    ScardCard& operator=(const ScardCard&) = delete;

    SCARDHANDLE* put() noexcept
    {
        reset();
        return &card_;
    }
    // Disconnects now, leaving the card neither reset nor powered down.
    LONG Disconnect() noexcept
    {
        const SCARDHANDLE card = std::exchange(card_, 0);
        return card ? ::SCardDisconnect(card, SCARD_LEAVE_CARD) : SCARD_S_SUCCESS;
    }
    void reset() noexcept { Disconnect(); }
    SCARDHANDLE get() const noexcept { return card_; }
    explicit operator bool() const noexcept { return card_ != 0; }

private:
    SCARDHANDLE card_ = 0;
};

// A buffer allocated by the service on a context (SCARD_AUTOALLOCATE).
template <typename T>
class ScardBuffer {
public:
    explicit ScardBuffer(SCARDCONTEXT context) noexcept : context_(context) {}
    ~ScardBuffer() { reset(); }
    ScardBuffer(const ScardBuffer&) = delete;
    ScardBuffer& operator=(const ScardBuffer&) = delete;

    void reset() noexcept
    {
        if (T* p = std::exchange(buffer_, nullptr)) ::SCardFreeMemory(context_, p);
    }
    // The place that an SCARD_AUTOALLOCATE call fills: the address of the
    // pointer, passed where the API expects the buffer.
    T* put() noexcept
    {
        reset();
        return reinterpret_cast<T*>(&buffer_);
    }
    T* get() const noexcept { return buffer_; }
    explicit operator bool() const noexcept { return buffer_ != nullptr; }

private:
    SCARDCONTEXT context_;
    T* buffer_ = nullptr;
};

}  // namespace quorvex
