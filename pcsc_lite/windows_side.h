// What the Windows half of the in-process winscard.dll shares: owners for
// process-heap blocks and for lists that pcsc-lite allocated, the UTF-16 /
// UTF-8 conversions, and the rule by which every answer reaches the caller.
//
// Built with winegcc as C++ without exceptions and without the C++ runtime
// library: a failure is a result code, so none can cross an export.
#pragma once

#include <windows.h>
#include <winscard.h>

#include <cstddef>
#include <cstdint>
#include <utility>

#include "lite.h"

// Wine 8's winscard.h lacks the provider ids.
#ifndef SCARD_PROVIDER_CSP
#define SCARD_PROVIDER_CSP 2
#endif

namespace lite {

// A block of the process heap. Handed to the caller with release() for
// SCARD_AUTOALLOCATE: SCardFreeMemory frees it with HeapFree.
template <typename T>
class HeapArray {
public:
    HeapArray() = default;
    explicit HeapArray(size_t count)
    {
        if (count > SIZE_MAX / sizeof(T)) return;
        p_ = static_cast<T*>(::HeapAlloc(::GetProcessHeap(), HEAP_ZERO_MEMORY, count ? count * sizeof(T) : 1));
        if (p_) count_ = count;
    }
    ~HeapArray()
    {
        if (p_) ::HeapFree(::GetProcessHeap(), 0, p_);
    }
    HeapArray(const HeapArray&) = delete;
    HeapArray& operator=(const HeapArray&) = delete;
    HeapArray(HeapArray&& other) noexcept : p_(std::exchange(other.p_, nullptr)), count_(std::exchange(other.count_, 0))
    {
    }
    HeapArray& operator=(HeapArray&& other) noexcept
    {
        std::swap(p_, other.p_);
        std::swap(count_, other.count_);
        return *this;
    }
    explicit operator bool() const { return p_ != nullptr; }
    T* get() const { return p_; }
    size_t size() const { return count_; }
    T& operator[](size_t i) const { return p_[i]; }
    T* release()
    {
        count_ = 0;
        return std::exchange(p_, nullptr);
    }

private:
    T* p_ = nullptr;
    size_t count_ = 0;
};

// A multi-string that pcsc-lite allocated, given back to it.
class LiteList {
public:
    explicit LiteList(uint64_t context) : context_(context) {}
    ~LiteList() { LiteFreeMemory(context_, text_); }
    LiteList(const LiteList&) = delete;
    LiteList& operator=(const LiteList&) = delete;
    char** put() { return &text_; }
    const char* get() const { return text_; }

private:
    uint64_t context_;
    char* text_ = nullptr;
};

// `units` UTF-16 units (NULs included, if any) as UTF-8 with one more closing
// NUL; empty on failure.
HeapArray<char> Utf8(const WCHAR* text, size_t units);
// A NUL-terminated UTF-16 string as UTF-8.
HeapArray<char> Utf8(const WCHAR* text);
// `bytes` bytes of UTF-8 as UTF-16; `count` receives the number of units.
HeapArray<WCHAR> Utf16(const char* text, size_t bytes, size_t& count);

// UTF-16 units of a multi-string up to and including its closing empty name.
size_t MultiStringUnits(const WCHAR* list);
size_t MultiStringBytes(const char* list);
size_t StringUnits(const WCHAR* text);

// Hands `units` units of `unitSize` bytes to the caller: their count only
// (no buffer), a new block stored through `buffer` (*length ==
// SCARD_AUTOALLOCATE), or a copy into its buffer of *length units.
LONG Deliver(const void* data, size_t units, size_t unitSize, void* buffer, DWORD* length);

}  // namespace lite
