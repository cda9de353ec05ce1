#include "plugin/error_info.h"

#include <utility>

#include "win/com_ptr.h"
#include "win/unique_bstr.h"

namespace quorvex {
namespace {

// The 16-bit code of a record becomes an HRESULT in the FACILITY_ITF range
// that automation reserves for it; 0xFE00 and above do not fit that range.
HRESULT RecordErrorCode(const EXCEPINFO& record) noexcept
{
    if (record.wCode != 0) {
        return record.wCode >= 0xFE00 ? static_cast<HRESULT>(0x8004FFFFUL)
                                      : static_cast<HRESULT>(0x80040200UL + record.wCode);
    }
    return record.scode;
}

}  // namespace

HRESULT ErrorInfoFromExcepInfo(EXCEPINFO& record, IErrorInfo** errorInfo) noexcept
{
    if (errorInfo) *errorInfo = nullptr;
    if (record.pfnDeferredFillIn) {
        // The sink left the strings for later; it fills them in only once.
        auto fillIn = record.pfnDeferredFillIn;
        record.pfnDeferredFillIn = nullptr;
        fillIn(&record);
    }

    // The record's strings are ours to free whatever happens below.
    UniqueBstr source(std::exchange(record.bstrSource, nullptr));
    UniqueBstr description(std::exchange(record.bstrDescription, nullptr));
    UniqueBstr helpFile(std::exchange(record.bstrHelpFile, nullptr));

    ComPtr<ICreateErrorInfo> creator;
    if (SUCCEEDED(::CreateErrorInfo(creator.put()))) {
        creator->SetGUID(IID_IDispatch);
        if (source) creator->SetSource(source.get());
        if (description) creator->SetDescription(description.get());
        if (helpFile) creator->SetHelpFile(helpFile.get());
        creator->SetHelpContext(record.dwHelpContext);
        if (errorInfo) creator->QueryInterface(IID_IErrorInfo, reinterpret_cast<void**>(errorInfo));
    }
    return RecordErrorCode(record);
}

void ReportSinkException(EXCEPINFO& record) noexcept
{
    ComPtr<IErrorInfo> errorInfo;
    const HRESULT code = ErrorInfoFromExcepInfo(record, errorInfo.put());
    // Installed only when the sink gave no failure code of its own.
    if (code >= 0 && errorInfo) ::SetErrorInfo(0, errorInfo.get());
}

}  // namespace quorvex
