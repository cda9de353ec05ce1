#include "plugin/event_source.h"

#include <cstring>

#include "plugin/error_info.h"
#include "win/unique_bstr.h"
#include "win/unique_variant.h"

namespace quorvex {

namespace {

// The EXCEPINFO handed to one sink; whatever strings it leaves behind are
// freed with it.
class ExceptionRecord {
public:
    // Every byte zero, padding included: `{}` zeroes the members only (clang
    // leaves the padding after wCode/wReserved as it was on the stack), and a
    // sink sees the whole record.
    ExceptionRecord() noexcept { std::memset(&record_, 0, sizeof record_); }
    ~ExceptionRecord()
    {
        UniqueBstr source(record_.bstrSource), description(record_.bstrDescription), helpFile(record_.bstrHelpFile);
    }
    ExceptionRecord(const ExceptionRecord&) = delete;
    ExceptionRecord& operator=(const ExceptionRecord&) = delete;

    EXCEPINFO* get() noexcept { return &record_; }
    EXCEPINFO& operator*() noexcept { return record_; }

private:
    EXCEPINFO record_{};
};

// One pass over the sinks. `fill` types and fills the argument VARIANTs, which
// are built fresh for every sink so that no sink sees what another left in them.
template <typename Fill>
HRESULT InvokeEach(const SinkSnapshot& sinks, DISPID dispid, UINT argumentCount, const PassCutOff* cutOff,
                   Fill fill) noexcept
{
    HRESULT last = S_OK;
    SinkConnection::Pass pass;
    for (const ComPtr<SinkConnection>& connection : sinks) {
        // A capture run that was given up while a sink blocked must not go on
        // to the next sink: the stop that gave up has already returned.
        if (cutOff && cutOff->cutOff()) break;
        const SinkConnection::Call call(pass, *connection.get());
        if (!call.Connected()) continue;
        // The connection holds what the sink answered for the event DIID,
        // which is a dispatch interface.
        auto* dispatch = static_cast<IDispatch*>(connection->sink());

        VARIANT arguments[3]{};  // all VT_EMPTY
        fill(arguments);
        DISPPARAMS params{arguments, nullptr, argumentCount, 0};
        UniqueVariant result;
        ExceptionRecord exception;
        UINT argumentError = 0;

        const HRESULT hr = dispatch->Invoke(dispid, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &params,
                                            result.get(), exception.get(), &argumentError);
        // The arguments are not cleared: the strings belong to the caller.
        if (FAILED(hr)) {
            ReportSinkException(*exception);
            return hr;
        }
        last = hr;
    }
    return last;
}

}  // namespace

HRESULT RaiseStatusChanged(const SinkSnapshot& sinks, LONG statusCode, const PassCutOff* cutOff)
{
    return InvokeEach(sinks, kDispidStatusChanged, 1, cutOff, [statusCode](VARIANT* arguments) {
        arguments[0].vt = VT_I4;
        arguments[0].lVal = statusCode;
    });
}

HRESULT RaiseDataReady(const SinkSnapshot& sinks, BSTR smartCardName, BSTR smartCardReader, BSTR cspName,
                       const PassCutOff* cutOff)
{
    // DISPPARAMS lists the arguments last parameter first.
    return InvokeEach(sinks, kDispidDataReady, 3, cutOff, [=](VARIANT* arguments) {
        arguments[0].vt = VT_BSTR;
        arguments[0].bstrVal = cspName;
        arguments[1].vt = VT_BSTR;
        arguments[1].bstrVal = smartCardReader;
        arguments[2].vt = VT_BSTR;
        arguments[2].bstrVal = smartCardName;
    });
}

HRESULT RaiseFailed(const SinkSnapshot& sinks, LONG statusCode, const PassCutOff* cutOff)
{
    return InvokeEach(sinks, kDispidFailed, 1, cutOff, [statusCode](VARIANT* arguments) {
        arguments[0].vt = VT_I4;
        arguments[0].lVal = statusCode;
    });
}

}  // namespace quorvex
