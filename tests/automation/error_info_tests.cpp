// The error object made from a failing event sink's exception record.
#include <gtest/gtest.h>

#include <string>

#include "automation/com_apartment.h"
#include "plugin/error_info.h"
#include "win/com_ptr.h"
#include "win/unique_bstr.h"

namespace quorvex::test {
namespace {

EXCEPINFO Record(const wchar_t* source, const wchar_t* description, SCODE scode = S_OK, WORD wCode = 0)
{
    EXCEPINFO record{};
    record.bstrSource = source ? ::SysAllocString(source) : nullptr;
    record.bstrDescription = description ? ::SysAllocString(description) : nullptr;
    record.scode = scode;
    record.wCode = wCode;
    return record;
}

// "source|description|help file|help context" of an error object made for IDispatch.
std::wstring Describe(IErrorInfo* info)
{
    if (!info) return L"<none>";
    UniqueBstr source;
    UniqueBstr description;
    UniqueBstr helpFile;
    DWORD context = 0;
    GUID guid{};
    info->GetSource(source.put());
    info->GetDescription(description.put());
    info->GetHelpFile(helpFile.put());
    info->GetHelpContext(&context);
    info->GetGUID(&guid);
    return std::wstring(source.view()) + L"|" + std::wstring(description.view()) + L"|" +
           std::wstring(helpFile.view()) + L"|" + std::to_wstring(context) +
           (IsEqualGUID(guid, IID_IDispatch) ? L"" : L"|wrong GUID");
}

HRESULT WINAPI FillInLater(EXCEPINFO* record)
{
    *record = Record(L"Deferred.Sink", L"filled in on demand", DISP_E_EXCEPTION);
    return S_OK;
}

class ErrorInfoTest : public ApartmentTest {};

TEST_F(ErrorInfoTest, ObjectCarriesTheRecordsTextsAndTheDispatchGuid)
{
    EXCEPINFO record = Record(L"Sink.Host", L"the sink refused the event");
    record.bstrHelpFile = ::SysAllocString(L"C:\\help\\sink.chm");
    record.dwHelpContext = 17;
    ComPtr<IErrorInfo> info;
    EXPECT_EQ(ErrorInfoFromExcepInfo(record, info.put()), S_OK);
    EXPECT_EQ(Describe(info.get()), L"Sink.Host|the sink refused the event|C:\\help\\sink.chm|17");
    EXPECT_EQ(record.bstrSource, nullptr) << "the record's strings are freed and cleared";
    EXPECT_EQ(record.bstrDescription, nullptr);
    EXPECT_EQ(record.bstrHelpFile, nullptr);

    EXCEPINFO deferred{};
    deferred.pfnDeferredFillIn = &FillInLater;
    EXPECT_EQ(ErrorInfoFromExcepInfo(deferred, info.put()), DISP_E_EXCEPTION);
    EXPECT_EQ(Describe(info.get()), L"Deferred.Sink|filled in on demand||0") << "the deferred fill-in runs first";
}

// The 16-bit code takes precedence over the 32-bit one, and the object becomes
// the thread's error information only when the resulting code is not negative.
TEST_F(ErrorInfoTest, CodeOfTheRecordDecidesWhetherTheObjectIsInstalled)
{
    const struct {
        WORD wCode;
        SCODE scode;
        HRESULT expected;
    } table[] = {
        {0, S_OK, S_OK},
        {0, S_FALSE, S_FALSE},
        {0, E_ACCESSDENIED, E_ACCESSDENIED},
        {1, E_FAIL, static_cast<HRESULT>(0x80040201)},
        {5, S_OK, static_cast<HRESULT>(0x80040205)},
        {0xFDFF, S_OK, static_cast<HRESULT>(0x80040200 + 0xFDFF)},
        {0xFE00, S_OK, static_cast<HRESULT>(0x8004FFFF)},
        {0xFFFF, S_OK, static_cast<HRESULT>(0x8004FFFF)},
    };
    for (const auto& row : table) {
        EXCEPINFO record = Record(nullptr, nullptr, row.scode, row.wCode);
        EXPECT_EQ(ErrorInfoFromExcepInfo(record, nullptr), row.expected) << "wCode " << row.wCode;

        ::SetErrorInfo(0, nullptr);
        record = Record(L"Sink", L"text", row.scode, row.wCode);
        ReportSinkException(record);
        EXPECT_EQ(record.bstrDescription, nullptr) << "strings freed in every case";
        ComPtr<IErrorInfo> installed;
        ::GetErrorInfo(0, installed.put());
        EXPECT_EQ(Describe(installed.get()), row.expected >= 0 ? L"Sink|text||0" : L"<none>") << row.wCode;
    }
}

}  // namespace
}  // namespace quorvex::test
