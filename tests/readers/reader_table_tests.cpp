// GetDeviceCount, GetDeviceID and OpenDevice against the simulated service.
#include <gtest/gtest.h>

#include <string>

#include "plugin/smart_card_auth_plugin.h"
#include "scardsim/scardsim.h"
#include "support/plugin_inspector.h"
#include "support/sim_fixture.h"
#include "win/com_ptr.h"
#include "win/unique_bstr.h"

using quorvex::ComPtr;
using PluginObject = quorvex::CSmartCardAuthPlugin;
using quorvex::MakeBstr;
using quorvex::UniqueBstr;

namespace {

class ReaderTableTest : public SimulatedServiceTest {
protected:
    void SetUp() override
    {
        SimulatedServiceTest::SetUp();
        ASSERT_EQ(S_OK, PluginObject::CreateInstance(nullptr, IID_IPkiAuthenticationPlugin, plugin.put_void()));
    }
    void TearDown() override
    {
        plugin.reset();
        SimulatedServiceTest::TearDown();
    }

    quorvex::PluginInspector object() { return quorvex::PluginInspector(*static_cast<PluginObject*>(plugin.get())); }

    LONG Count(HRESULT expected = S_OK)
    {
        LONG count = -99;
        EXPECT_EQ(expected, plugin->GetDeviceCount(nullptr, nullptr, &count));
        return count;
    }

    std::wstring Name(LONG slot)
    {
        UniqueBstr name;
        EXPECT_EQ(S_OK, plugin->GetDeviceID(slot, name.put()));
        return name ? std::wstring(name.view()) : L"<null>";
    }

    HRESULT Open(const wchar_t* name, LONG* rc)
    {
        UniqueBstr bstr = name ? MakeBstr(name) : UniqueBstr();
        return plugin->OpenDevice(bstr.get(), rc);
    }

    static void AddReaders(int from, int to)
    {
        for (int i = from; i <= to; ++i) SimAddReader((L"Reader " + std::to_wstring(i)).c_str());
    }

    ComPtr<IPkiAuthenticationPlugin> plugin;
};

TEST_F(ReaderTableTest, StoresAtMostSixteenReadersInListedOrder)
{
    AddReaders(1, 20);
    EXPECT_EQ(16, Count());
    EXPECT_EQ(16u, object().readerCount());
    EXPECT_EQ(L"Reader 1", Name(0));
    EXPECT_EQ(L"Reader 16", Name(15));
}

TEST_F(ReaderTableTest, ShorterEnumerationKeepsOlderSlotsSelectable)
{
    AddReaders(1, 3);
    EXPECT_EQ(3, Count());
    SimRemoveReader(L"Reader 3");
    EXPECT_EQ(2, Count());
    EXPECT_EQ(2u, object().readerCount());
    EXPECT_EQ(L"Reader 3", Name(2));

    LONG rc = -7;
    EXPECT_EQ(S_OK, Open(L"Reader 3", &rc));
    EXPECT_EQ(0, rc);
    EXPECT_EQ(2, object().selectedIndex());
}

TEST_F(ReaderTableTest, ServiceNotRunningKeepsTheTable)
{
    AddReaders(1, 2);
    EXPECT_EQ(2, Count());
    SimSetServiceState(SIM_SERVICE_NOT_RUNNING);
    EXPECT_EQ(0, Count(S_OK));
    EXPECT_EQ(2u, object().readerCount());
    EXPECT_EQ(L"Reader 2", Name(1));
}

TEST_F(ReaderTableTest, OtherServiceFailuresLeaveTheTableUnchanged)
{
    AddReaders(1, 2);
    EXPECT_EQ(2, Count());
    SimAddReader(L"Reader 3");

    SimSetServiceState(SIM_SERVICE_STOPPED);
    EXPECT_EQ(0, Count(E_FAIL));
    SimSetServiceState(SIM_SERVICE_RUNNING);

    SimInjectResult("SCardListReadersW", static_cast<LONG>(SCARD_E_READER_UNAVAILABLE), 1);
    EXPECT_EQ(0, Count(E_FAIL));
    EXPECT_EQ(2u, object().readerCount());
    EXPECT_EQ(L"<null>", Name(2));
}

TEST_F(ReaderTableTest, NoReadersSetsTheCountToZeroButKeepsNames)
{
    AddReaders(1, 2);
    EXPECT_EQ(2, Count());
    SimRemoveReader(L"Reader 1");
    SimRemoveReader(L"Reader 2");
    EXPECT_EQ(0, Count());
    EXPECT_EQ(0u, object().readerCount());
    EXPECT_EQ(L"Reader 1", Name(0));
}

TEST_F(ReaderTableTest, FailedContextReleaseReplacesNamesButNotTheCount)
{
    AddReaders(1, 2);
    EXPECT_EQ(2, Count());
    SimReset();
    SimAddReader(L"Other A");
    SimAddReader(L"Other B");
    SimAddReader(L"Other C");
    SimInjectResult("SCardReleaseContext", static_cast<LONG>(SCARD_E_INVALID_HANDLE), 1);
    EXPECT_EQ(3, Count(E_FAIL));
    EXPECT_EQ(2u, object().readerCount());
    EXPECT_EQ(L"Other C", Name(2));
    // The refused release left the context open in the service; nothing to
    // blame the plug-in for, so the leak check starts clean.
    SimReset();
}

TEST_F(ReaderTableTest, ReaderNamesComeBackCharacterForCharacter)
{
    SimAddReader(L"Lecteur \x00e9tendu \x4e2d 0");
    EXPECT_EQ(1, Count());
    EXPECT_EQ(L"Lecteur \x00e9tendu \x4e2d 0", Name(0));
}

TEST_F(ReaderTableTest, GetDeviceIdChecksTheSlotRangeOnly)
{
    for (LONG bad : {-1L, 16L}) {
        UniqueBstr text;
        EXPECT_EQ(E_FAIL, plugin->GetDeviceID(bad, text.put()));
        EXPECT_EQ(L"ERROR invalid refCount passed in to CSmartCardAuthPlugin::GetDeviceID()", text.view());
    }
    AddReaders(1, 1);
    EXPECT_EQ(1, Count());
    EXPECT_EQ(L"<null>", Name(7));
}

TEST_F(ReaderTableTest, SelectByNameIsCaseSensitiveAndClearsTheSelection)
{
    AddReaders(1, 2);
    EXPECT_EQ(2, Count());
    LONG rc = -7;
    ASSERT_EQ(S_OK, Open(L"Reader 2", &rc));
    EXPECT_EQ(1, object().selectedIndex());

    EXPECT_EQ(E_FAIL, Open(L"reader 2", &rc));
    EXPECT_EQ(-1, rc);
    EXPECT_EQ(-1, object().selectedIndex());
}

TEST_F(ReaderTableTest, DuplicateNamesSelectTheLowerSlot)
{
    SimAddReader(L"Twin");
    SimAddReader(L"Other");
    EXPECT_EQ(2, Count());
    SimReset();
    SimAddReader(L"First");
    SimAddReader(L"Second");
    SimAddReader(L"Twin");
    EXPECT_EQ(3, Count());  // slot 0 "First", slot 2 "Twin"
    SimReset();
    SimAddReader(L"Twin");
    EXPECT_EQ(1, Count());  // slot 0 "Twin" again; slot 2 still "Twin"

    LONG rc = -7;
    EXPECT_EQ(S_OK, Open(L"Twin", &rc));
    EXPECT_EQ(0, object().selectedIndex());
}

TEST_F(ReaderTableTest, EmptyNameSelectsTheFirstReaderEnumeratingOnlyWhenNeeded)
{
    AddReaders(1, 2);
    LONG rc = -7;
    EXPECT_EQ(S_OK, Open(nullptr, &rc));  // empty table: enumerates
    EXPECT_EQ(0, rc);
    EXPECT_EQ(0, object().selectedIndex());
    EXPECT_EQ(1u, SimCallCount("SCardEstablishContext"));

    rc = -7;
    EXPECT_EQ(S_OK, Open(L"", &rc));  // slot 0 already named: no second enumeration
    EXPECT_EQ(0, rc);
    EXPECT_EQ(1u, SimCallCount("SCardEstablishContext"));
}

TEST_F(ReaderTableTest, EmptyNameWithoutReadersFailsButSelectsSlotZero)
{
    LONG rc = -7;
    EXPECT_EQ(E_FAIL, Open(L"", &rc));
    EXPECT_EQ(-1, rc);
    EXPECT_EQ(0, object().selectedIndex());

    SimSetServiceState(SIM_SERVICE_NOT_RUNNING);
    EXPECT_EQ(E_FAIL, Open(nullptr, &rc));
    EXPECT_EQ(-1, rc);
}

}  // namespace
