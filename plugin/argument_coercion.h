// Turning one Invoke argument into the type a method parameter expects.
#pragma once

#include <windows.h>
#include <oaidl.h>

#include "win/unique_variant.h"

namespace quorvex {

// One argument fitted to a VT_BSTR or VT_I4 parameter. Fitting changes
// nothing; Commit() then puts a converted value in place of the caller's (the
// argument, or the VARIANT it refers to), as late-bound clients of this
// interface have always seen it. The split lets a call that fails on a later
// argument leave every argument as it was.
class FittedArgument {
public:
    // False when the argument does not fit. A VT_I4 parameter takes
    // integer-family values as their stored bits, zero-extended, without
    // converting them.
    bool FitBstr(VARIANT& argument) noexcept;
    bool FitLong(VARIANT& argument) noexcept;

    // Nothing to do when the argument was used as it is.
    void Commit() noexcept;

    // Borrowed from the caller's VARIANT. Read only once every argument of the
    // call is committed: arguments may share one VARIANT (a script passing one
    // variable twice), and the last commit decides which string it holds.
    BSTR bstr() const noexcept;
    LONG number() const noexcept { return number_; }

private:
    VARIANT* holder_ = nullptr;  // where the value is, or goes at Commit()
    UniqueVariant converted_;
    bool convert_ = false;
    LONG number_ = 0;
};

}  // namespace quorvex
