// The reference count of the module's reference-counted objects (COM objects
// and the connections of a connection point).
//
// Every count starts at 1: the creator holds the first reference and hands it
// on (ComPtr::attach, an out-parameter) or gives it back, which ends the
// object. So an object is never seen with a count of 0 while it lives.
#pragma once

#include <windows.h>

#include <atomic>

namespace quorvex {

template <typename Object>
class RefCount {
public:
    RefCount() noexcept = default;
    RefCount(const RefCount&) = delete;
    RefCount& operator=(const RefCount&) = delete;

    ULONG Increment() noexcept { return ++count_; }
    // The count left; the caller ends the object at 0 (see Release).
    ULONG Decrement() noexcept { return --count_; }

    // Decrements and ends `object` when no reference is left.
    ULONG Release(const Object* object) noexcept
    {
        const ULONG left = Decrement();
        if (left == 0) Destroy(object);
        return left;
    }

    // The one place where a counted object ends.
    static void Destroy(const Object* object) noexcept { delete object; }

private:
    std::atomic<ULONG> count_{1};
};

}  // namespace quorvex
