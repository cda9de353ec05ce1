// Placeholder until the automation work lands.
#include "module/error_info.h"

namespace quorvex {

HRESULT ErrorInfoFromExcepInfo(EXCEPINFO& record, IErrorInfo** errorInfo) noexcept
{
    if (errorInfo) *errorInfo = nullptr;
    ::SysFreeString(record.bstrSource);
    ::SysFreeString(record.bstrDescription);
    ::SysFreeString(record.bstrHelpFile);
    record.bstrSource = record.bstrDescription = record.bstrHelpFile = nullptr;
    return record.scode;
}

void ReportSinkException(EXCEPINFO& record) noexcept
{
    IErrorInfo* info = nullptr;
    ErrorInfoFromExcepInfo(record, &info);
    if (info) info->Release();
}

}  // namespace quorvex
