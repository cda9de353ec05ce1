// Turning one Invoke argument into the type a method parameter expects.
#pragma once

#include <windows.h>
#include <oaidl.h>

namespace quorvex {

// Makes `argument` usable as a VT_BSTR parameter. On success *value borrows the
// string held by the argument (or by the VARIANT it refers to), which may have
// been converted in place. False when it does not fit.
bool CoerceToBstr(VARIANT& argument, BSTR* value) noexcept;

// Makes `argument` usable as a VT_I4 parameter. Integer-family arguments give
// their stored bits zero-extended and keep their type; others are converted in
// place. False when it does not fit.
bool CoerceToLong(VARIANT& argument, LONG* value) noexcept;

}  // namespace quorvex
