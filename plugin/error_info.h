// The error object made from the exception record of an event sink whose
// Invoke failed.
#pragma once

#include <windows.h>
#include <oaidl.h>

namespace quorvex {

// Fills the record in (deferred fill-in), makes an error object from it, frees
// the record's strings and returns the record's error code. *errorInfo gets
// the IErrorInfo (or null); the caller owns it.
HRESULT ErrorInfoFromExcepInfo(EXCEPINFO& record, IErrorInfo** errorInfo) noexcept;

// What the event raising routines call after a sink's Invoke failed: the error
// object is installed as the thread's error information when the record's
// code is not negative.
void ReportSinkException(EXCEPINFO& record) noexcept;

}  // namespace quorvex
