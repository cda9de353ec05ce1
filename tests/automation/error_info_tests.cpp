// The error object made from a failing event sink's exception record.
#include <gtest/gtest.h>

#include "automation/com_apartment.h"
#include "module/error_info.h"
#include "win/com_ptr.h"
#include "win/unique_bstr.h"

namespace quorvex::test {
namespace {

class ErrorInfoTest : public ApartmentTest {
protected:
    void SetUp() override
    {
        ApartmentTest::SetUp();
        ::SetErrorInfo(0, nullptr);
    }

    static EXCEPINFO Record(const wchar_t* source, const wchar_t* description)
    {
        EXCEPINFO record{};
        record.bstrSource = source ? ::SysAllocString(source) : nullptr;
        record.bstrDescription = description ? ::SysAllocString(description) : nullptr;
        return record;
    }

    static ComPtr<IErrorInfo> ThreadErrorInfo()
    {
        ComPtr<IErrorInfo> info;
        ::GetErrorInfo(0, info.put());
        return info;
    }
};

TEST_F(ErrorInfoTest, ObjectCarriesTheRecordsTextsAndTheDispatchGuid)
{
    EXCEPINFO record = Record(L"Sink.Host", L"the sink refused the event");
    record.bstrHelpFile = ::SysAllocString(L"C:\\help\\sink.chm");
    record.dwHelpContext = 17;
    record.scode = S_OK;

    ComPtr<IErrorInfo> info;
    EXPECT_EQ(ErrorInfoFromExcepInfo(record, info.put()), S_OK);
    EXPECT_EQ(record.bstrSource, nullptr) << "the record's strings are freed and cleared";
    EXPECT_EQ(record.bstrDescription, nullptr);
    EXPECT_EQ(record.bstrHelpFile, nullptr);
    ASSERT_TRUE(info);

    UniqueBstr text;
    GUID guid{};
    DWORD context = 0;
    EXPECT_EQ(info->GetSource(text.put()), S_OK);
    EXPECT_EQ(text.view(), L"Sink.Host");
    EXPECT_EQ(info->GetDescription(text.put()), S_OK);
    EXPECT_EQ(text.view(), L"the sink refused the event");
    EXPECT_EQ(info->GetHelpFile(text.put()), S_OK);
    EXPECT_EQ(text.view(), L"C:\\help\\sink.chm");
    EXPECT_EQ(info->GetHelpContext(&context), S_OK);
    EXPECT_EQ(context, 17u);
    EXPECT_EQ(info->GetGUID(&guid), S_OK);
    EXPECT_TRUE(IsEqualGUID(guid, IID_IDispatch));
}

HRESULT WINAPI FillInLater(EXCEPINFO* record)
{
    record->bstrSource = ::SysAllocString(L"Deferred.Sink");
    record->bstrDescription = ::SysAllocString(L"filled in on demand");
    record->scode = DISP_E_EXCEPTION;
    return S_OK;
}

TEST_F(ErrorInfoTest, DeferredFillInRunsFirst)
{
    EXCEPINFO record{};
    record.pfnDeferredFillIn = &FillInLater;
    ComPtr<IErrorInfo> info;
    EXPECT_EQ(ErrorInfoFromExcepInfo(record, info.put()), DISP_E_EXCEPTION);
    ASSERT_TRUE(info);
    UniqueBstr text;
    info->GetSource(text.put());
    EXPECT_EQ(text.view(), L"Deferred.Sink");
    info->GetDescription(text.put());
    EXPECT_EQ(text.view(), L"filled in on demand");
}

TEST_F(ErrorInfoTest, SixteenBitCodeTakesPrecedenceOverTheScode)
{
    const struct {
        WORD wCode;
        SCODE scode;
        HRESULT expected;
    } cases[] = {
        {0, E_ACCESSDENIED, E_ACCESSDENIED},
        {0, S_FALSE, S_FALSE},
        {1, E_FAIL, static_cast<HRESULT>(0x80040201)},
        {0xFDFF, S_OK, static_cast<HRESULT>(0x80040200 + 0xFDFF)},
        {0xFE00, S_OK, static_cast<HRESULT>(0x8004FFFF)},
        {0xFFFF, S_OK, static_cast<HRESULT>(0x8004FFFF)},
    };
    for (const auto& c : cases) {
        EXCEPINFO record = Record(nullptr, nullptr);
        record.wCode = c.wCode;
        record.scode = c.scode;
        EXPECT_EQ(ErrorInfoFromExcepInfo(record, nullptr), c.expected) << "wCode " << c.wCode;
    }
}

TEST_F(ErrorInfoTest, ReportInstallsTheObjectOnlyWithoutAFailureCode)
{
    EXCEPINFO quiet = Record(L"Quiet.Sink", L"no failure code given");
    ReportSinkException(quiet);
    ComPtr<IErrorInfo> installed = ThreadErrorInfo();
    ASSERT_TRUE(installed);
    UniqueBstr text;
    installed->GetSource(text.put());
    EXPECT_EQ(text.view(), L"Quiet.Sink");
    installed->GetDescription(text.put());
    EXPECT_EQ(text.view(), L"no failure code given");
    EXPECT_EQ(quiet.bstrSource, nullptr);

    EXCEPINFO failing = Record(L"Failing.Sink", L"with a code");
    failing.scode = E_FAIL;
    ReportSinkException(failing);
    EXPECT_FALSE(ThreadErrorInfo()) << "nothing installed for a negative code";
    EXPECT_EQ(failing.bstrDescription, nullptr) << "strings freed all the same";

    EXCEPINFO coded = Record(L"Coded.Sink", nullptr);
    coded.wCode = 5;
    ReportSinkException(coded);
    EXPECT_FALSE(ThreadErrorInfo());
}

}  // namespace
}  // namespace quorvex::test
