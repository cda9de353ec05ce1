// Owner of one COM interface reference.
#pragma once

#include <unknwn.h>

#include <utility>

namespace quorvex {

template <typename T>
class ComPtr {
public:
    ComPtr() noexcept = default;
    ComPtr(std::nullptr_t) noexcept {}
    // Takes a new reference on p.
    explicit ComPtr(T* p) noexcept : p_(p)
    {
        if (p_) p_->AddRef();
    }
    ComPtr(const ComPtr& other) noexcept : ComPtr(other.p_) {}
    ComPtr(ComPtr&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
    ~ComPtr() { reset(); }

    ComPtr& operator=(ComPtr other) noexcept
    {
        std::swap(p_, other.p_);
        return *this;
    }

    void reset() noexcept
    {
        if (T* p = std::exchange(p_, nullptr)) p->Release();
    }
    // Takes ownership of a reference the caller already holds. Given the
    // pointer it holds already, there is no second reference to take over:
    // releasing "the old one" would free the object and keep its address.
    void attach(T* p) noexcept
    {
        if (p == p_) return;
        T* old = std::exchange(p_, p);
        if (old) old->Release();
    }
    [[nodiscard]] T* detach() noexcept { return std::exchange(p_, nullptr); }
    // Releases what is held and returns the slot for an out-parameter.
    T** put() noexcept
    {
        reset();
        return &p_;
    }
    void** put_void() noexcept { return reinterpret_cast<void**>(put()); }

    T* get() const noexcept { return p_; }
    T* operator->() const noexcept { return p_; }
    explicit operator bool() const noexcept { return p_ != nullptr; }

    template <typename U>
    HRESULT query_to(REFIID iid, ComPtr<U>& out) const noexcept
    {
        return p_ ? p_->QueryInterface(iid, out.put_void()) : E_POINTER;
    }
    // Hands a new reference out through an out-parameter.
    HRESULT copy_to(T** out) const noexcept
    {
        if (!out) return E_POINTER;
        *out = p_;
        if (p_) p_->AddRef();
        return S_OK;
    }

private:
    T* p_ = nullptr;
};

}  // namespace quorvex
