// No C++ exception may leave the DLL: every export runs its body through one
// of these.
#pragma once

#include <new>

namespace scardsim {

template <class Body>
LONG GuardedCall(Body&& body) noexcept
{
    try {
        return body();
    } catch (const std::bad_alloc&) {
        return SCARD_E_NO_MEMORY;
    } catch (...) {
        return SCARD_F_INTERNAL_ERROR;
    }
}

template <class Result, class Body>
Result GuardedControl(Result failure, Body&& body) noexcept
{
    try {
        return body();
    } catch (...) {
        return failure;
    }
}

template <class Body>
void GuardedControl(Body&& body) noexcept
{
    try {
        body();
    } catch (...) {
    }
}

}  // namespace scardsim
