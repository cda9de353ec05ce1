// Owners of kernel handles, registry keys and module-lifetime critical sections.
#pragma once

#include <windows.h>

#include <utility>

namespace quorvex {

// Generic owner: Traits::invalid() is the empty value, Traits::close() frees.
template <typename Traits>
class UniqueResource {
public:
    using Type = typename Traits::Type;
    UniqueResource() noexcept = default;
    explicit UniqueResource(Type value) noexcept : value_(value) {}
    UniqueResource(UniqueResource&& other) noexcept : value_(other.release()) {}
    UniqueResource& operator=(UniqueResource&& other) noexcept
    {
        reset(other.release());
        return *this;
    }
    UniqueResource(const UniqueResource&) = delete;
    UniqueResource& operator=(const UniqueResource&) = delete;
    ~UniqueResource() { reset(); }

    void reset(Type value = Traits::invalid()) noexcept
    {
        Type old = std::exchange(value_, value);
        if (old != Traits::invalid()) Traits::close(old);
    }
    [[nodiscard]] Type release() noexcept { return std::exchange(value_, Traits::invalid()); }
    Type get() const noexcept { return value_; }
    Type* put() noexcept
    {
        reset();
        return &value_;
    }
    explicit operator bool() const noexcept { return value_ != Traits::invalid(); }

private:
    Type value_ = Traits::invalid();
};

struct HandleTraits {
    using Type = HANDLE;
    static Type invalid() noexcept { return nullptr; }
    static void close(Type h) noexcept { ::CloseHandle(h); }
};
using UniqueHandle = UniqueResource<HandleTraits>;

struct KeyTraits {
    using Type = HKEY;
    static Type invalid() noexcept { return nullptr; }
    static void close(Type k) noexcept { ::RegCloseKey(k); }
};
using UniqueHkey = UniqueResource<KeyTraits>;

struct LocalMemoryTraits {
    using Type = HLOCAL;
    static Type invalid() noexcept { return nullptr; }
    static void close(Type m) noexcept { ::LocalFree(m); }
};
using UniqueLocalMemory = UniqueResource<LocalMemoryTraits>;

// A critical section that reports whether it could be initialised, so the
// module can refuse to load instead of running with an unusable lock.
class CriticalSection {
public:
    CriticalSection() noexcept { ok_ = ::InitializeCriticalSectionAndSpinCount(&cs_, 0) != FALSE; }
    ~CriticalSection()
    {
        if (ok_) ::DeleteCriticalSection(&cs_);
    }
    CriticalSection(const CriticalSection&) = delete;
    CriticalSection& operator=(const CriticalSection&) = delete;

    bool initialised() const noexcept { return ok_; }
    void lock() noexcept { ::EnterCriticalSection(&cs_); }
    void unlock() noexcept { ::LeaveCriticalSection(&cs_); }

private:
    CRITICAL_SECTION cs_{};
    bool ok_ = false;
};

}  // namespace quorvex
