// The DLL's class object and module lock count, through the real Quorvex.dll.
#include <gtest/gtest.h>
#include <ocidl.h>

#include "quorvex_h.h"
#include "scardsim/scardsim.h"
#include "support/quorvex_dll.h"
#include "win/com_ptr.h"

using quorvex::ComPtr;
using quorvex::test::QuorvexDll;

namespace {

class ClassObjectTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(S_OK, ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)); }
    void TearDown() override { ::CoUninitialize(); }
    QuorvexDll dll;
};

TEST_F(ClassObjectTest, ExportsTheFourEntryPointsButNotDllMain)
{
    EXPECT_NE(nullptr, dll.Export("DllGetClassObject"));
    EXPECT_NE(nullptr, dll.Export("DllCanUnloadNow"));
    EXPECT_NE(nullptr, dll.Export("DllRegisterServer"));
    EXPECT_NE(nullptr, dll.Export("DllUnregisterServer"));
    EXPECT_EQ(nullptr, dll.Export("DllMain"));
}

TEST_F(ClassObjectTest, RepeatedRequestsGiveTheSameCachedClassObject)
{
    ComPtr<IClassFactory> first, second;
    ASSERT_EQ(S_OK, dll.GetClassObject(CLSID_CSmartCardAuthPlugin, IID_IClassFactory, first.put_void()));
    ASSERT_EQ(S_OK, dll.GetClassObject(CLSID_CSmartCardAuthPlugin, IID_IClassFactory, second.put_void()));
    EXPECT_EQ(first.get(), second.get());

    ComPtr<IUnknown> unknown;
    ASSERT_EQ(S_OK, dll.GetClassObject(CLSID_CSmartCardAuthPlugin, IID_IUnknown, unknown.put_void()));
    EXPECT_EQ(static_cast<IUnknown*>(first.get()), unknown.get());
}

TEST_F(ClassObjectTest, RefusedInterfaceLeavesTheClassObjectUsable)
{
    void* out = reinterpret_cast<void*>(1);
    EXPECT_EQ(E_NOINTERFACE, dll.GetClassObject(CLSID_CSmartCardAuthPlugin, IID_IClassFactory2, &out));
    EXPECT_EQ(nullptr, out);

    ComPtr<IClassFactory> factory;
    EXPECT_EQ(S_OK, dll.GetClassObject(CLSID_CSmartCardAuthPlugin, IID_IClassFactory, factory.put_void()));
    EXPECT_TRUE(factory);
}

TEST_F(ClassObjectTest, UnknownClassAndNullOutPointer)
{
    void* out = reinterpret_cast<void*>(1);
    EXPECT_EQ(CLASS_E_CLASSNOTAVAILABLE, dll.GetClassObject(IID_IDispatch, IID_IClassFactory, &out));
    EXPECT_EQ(nullptr, out);
    EXPECT_EQ(E_POINTER, dll.GetClassObject(CLSID_CSmartCardAuthPlugin, IID_IClassFactory, nullptr));

    ComPtr<IClassFactory> factory;
    ASSERT_EQ(S_OK, dll.GetClassObject(CLSID_CSmartCardAuthPlugin, IID_IClassFactory, factory.put_void()));
    EXPECT_EQ(E_POINTER, factory->CreateInstance(nullptr, IID_IUnknown, nullptr));
    EXPECT_EQ(E_POINTER, factory->QueryInterface(IID_IUnknown, nullptr));
}

TEST_F(ClassObjectTest, CanUnloadFollowsClassObjectAndObjectLifetimes)
{
    EXPECT_EQ(S_OK, dll.CanUnloadNow());

    ComPtr<IClassFactory> factory;
    ASSERT_EQ(S_OK, dll.GetClassObject(CLSID_CSmartCardAuthPlugin, IID_IClassFactory, factory.put_void()));
    EXPECT_EQ(S_FALSE, dll.CanUnloadNow());
    ComPtr<IClassFactory> again(factory.get());  // a second outside reference takes no second lock
    again.reset();
    EXPECT_EQ(S_FALSE, dll.CanUnloadNow());

    ComPtr<IPkiAuthenticationPlugin> plugin;
    ASSERT_EQ(S_OK, factory->CreateInstance(nullptr, IID_IPkiAuthenticationPlugin, plugin.put_void()));
    factory.reset();
    EXPECT_EQ(S_FALSE, dll.CanUnloadNow());  // the object holds its own lock
    plugin.reset();
    EXPECT_EQ(S_OK, dll.CanUnloadNow());
}

TEST_F(ClassObjectTest, LockServerCountsBothWaysWithoutClamping)
{
    ComPtr<IClassFactory> factory;
    ASSERT_EQ(S_OK, dll.GetClassObject(CLSID_CSmartCardAuthPlugin, IID_IClassFactory, factory.put_void()));
    IClassFactory* raw = factory.get();
    factory.reset();  // the class table keeps it alive
    ASSERT_EQ(S_OK, dll.CanUnloadNow());

    EXPECT_EQ(S_OK, raw->LockServer(TRUE));
    EXPECT_EQ(S_OK, raw->LockServer(TRUE));
    EXPECT_EQ(S_OK, raw->LockServer(FALSE));
    EXPECT_EQ(S_FALSE, dll.CanUnloadNow());
    EXPECT_EQ(S_OK, raw->LockServer(FALSE));
    EXPECT_EQ(S_OK, dll.CanUnloadNow());

    // Below zero is a count like any other.
    EXPECT_EQ(S_OK, raw->LockServer(FALSE));
    EXPECT_EQ(S_FALSE, dll.CanUnloadNow());
    EXPECT_EQ(S_OK, raw->LockServer(TRUE));
    EXPECT_EQ(S_OK, dll.CanUnloadNow());
}

// A capture worker keeps the module loaded while it runs; releasing the object
// stops it, after which nothing holds the module any more.
TEST_F(ClassObjectTest, ReleasingACapturingObjectLeavesTheModuleUnloadable)
{
    SimReset();
    SimAddReader(L"Module Reader");
    {
        ComPtr<IPkiAuthenticationPlugin> plugin;
        ASSERT_EQ(S_OK, dll.CreateInstance(nullptr, IID_IPkiAuthenticationPlugin, plugin.put_void()));
        LONG rc = -1;
        ASSERT_EQ(S_OK, plugin->OpenDevice(nullptr, &rc));
        ASSERT_EQ(S_OK, plugin->StartCapture(nullptr, nullptr, nullptr, &rc));
        ASSERT_EQ(0, rc);
        ASSERT_TRUE(SimWaitForPendingWaits(1, 10000));
        EXPECT_EQ(S_FALSE, dll.CanUnloadNow());
    }
    EXPECT_EQ(S_OK, dll.CanUnloadNow());
    EXPECT_EQ(0u, SimOpenContexts());
    SimReset();
}

TEST_F(ClassObjectTest, RefusedObjectInterfaceDestroysTheObject)
{
    ComPtr<IUnknown> out;
    EXPECT_EQ(E_NOINTERFACE, dll.CreateInstance(nullptr, IID_ISupportErrorInfo, out.put_void()));
    EXPECT_FALSE(out);
    EXPECT_EQ(S_OK, dll.CanUnloadNow());
}

// A controlling object that counts what reaches it.
class Outer final : public IUnknown {
public:
    STDMETHODIMP QueryInterface(REFIID iid, void** out) override
    {
        ++queries;
        if (IsEqualIID(iid, IID_IUnknown)) {
            *out = static_cast<IUnknown*>(this);
            AddRef();
            return S_OK;
        }
        return inner ? inner->QueryInterface(iid, out) : E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return ++refs; }
    STDMETHODIMP_(ULONG) Release() override { return --refs; }

    ULONG refs = 1;
    int queries = 0;
    IUnknown* inner = nullptr;
};

TEST_F(ClassObjectTest, AggregationHandsOutThePrivateInnerUnknown)
{
    Outer outer;
    ComPtr<IUnknown> refused;
    EXPECT_EQ(CLASS_E_NOAGGREGATION, dll.CreateInstance(&outer, IID_IDispatch, refused.put_void()));
    EXPECT_FALSE(refused);
    EXPECT_EQ(S_OK, dll.CanUnloadNow());

    IUnknown* inner = nullptr;
    ASSERT_EQ(S_OK, dll.CreateInstance(&outer, IID_IUnknown, reinterpret_cast<void**>(&inner)));
    outer.inner = inner;
    EXPECT_EQ(S_FALSE, dll.CanUnloadNow());

    // The inner unknown answers IUnknown with itself, not with the outer object.
    IUnknown* innerAgain = nullptr;
    ASSERT_EQ(S_OK, inner->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&innerAgain)));
    EXPECT_EQ(inner, innerAgain);
    innerAgain->Release();

    // Interfaces of the object count on the outer object.
    const ULONG before = outer.refs;
    IPkiAuthenticationPlugin* plugin = nullptr;
    ASSERT_EQ(S_OK, inner->QueryInterface(IID_IPkiAuthenticationPlugin, reinterpret_cast<void**>(&plugin)));
    EXPECT_EQ(before + 1, outer.refs);
    plugin->AddRef();
    EXPECT_EQ(before + 2, outer.refs);

    // QueryInterface through an interface of the object goes to the outer object.
    const int queries = outer.queries;
    IUnknown* identity = nullptr;
    ASSERT_EQ(S_OK, plugin->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&identity)));
    EXPECT_EQ(static_cast<IUnknown*>(&outer), identity);
    EXPECT_EQ(queries + 1, outer.queries);
    identity->Release();

    plugin->Release();
    plugin->Release();
    EXPECT_EQ(before, outer.refs);

    outer.inner = nullptr;
    EXPECT_EQ(0u, inner->Release());
    EXPECT_EQ(S_OK, dll.CanUnloadNow());
}

}  // namespace
