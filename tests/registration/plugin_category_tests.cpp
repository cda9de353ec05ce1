// The routine that marks a class as an authentication plug-in of one kind,
// checked through the platform's component categories manager. A class id of
// the tests' own keeps the plug-in's class out of it.
#include <windows.h>
#include <comcat.h>

#include <gtest/gtest.h>

#include "module/registration.h"
#include "registration/registry_probe.h"
#include "win/com_ptr.h"

namespace quorvex::test {
namespace {

const CLSID kTestClass = {0x5E1F0C2A, 0x7D44, 0x4E0B, {0x9A, 0x61, 0x0C, 0x3B, 0x52, 0xD8, 0x11, 0x7E}};
constexpr wchar_t kTestClassKey[] = L"CLSID\\{5E1F0C2A-7D44-4E0B-9A61-0C3B52D8117E}";

CATID Category(BYTE lastByte)
{
    return {0x38547D33, 0xB8B0, 0x4656, {0x85, 0xE4, 0xA1, 0x7D, 0xE0, 0x05, 0x4F, lastByte}};
}

class PluginCategoryTest : public ApartmentTest {
protected:
    void SetUp() override
    {
        ApartmentTest::SetUp();
        ASSERT_EQ(::CoCreateInstance(CLSID_StdComponentCategoriesMgr, nullptr, CLSCTX_INPROC_SERVER,
                                     IID_ICatInformation, categories.put_void()),
                  S_OK);
        DeleteTree(kTestClassKey);
    }
    void TearDown() override
    {
        DeleteTree(kTestClassKey);
        categories.reset();
        ApartmentTest::TearDown();
    }

    std::wstring Description(CATID catid)
    {
        LPWSTR text = nullptr;
        if (FAILED(categories->GetCategoryDesc(catid, 1033, &text))) return L"<none>";
        std::wstring result(text);
        ::CoTaskMemFree(text);
        return result;
    }

    bool Implements(CATID catid)
    {
        CATID required[] = {catid};
        return categories->IsClassOfCategories(kTestClass, 0, nullptr, 1, required) == S_OK;
    }

    ComPtr<ICatInformation> categories;
};

TEST_F(PluginCategoryTest, EachKindHasItsOwnCategory)
{
    const struct {
        int kind;
        BYTE lastByte;
        const wchar_t* description;
    } kinds[] = {{1, 0x02, L"Tavrix Password Authentication Plugin"},
                 {2, 0x01, L"Tavrix Certificate Authentication Plugin"},
                 {4, 0x00, L"Tavrix Fingerprint Authentication Plugin"}};
    for (const auto& k : kinds) {
        EXPECT_EQ(RegisterPluginCategory(k.kind, kTestClass), S_OK) << "kind " << k.kind;
        EXPECT_EQ(Description(Category(k.lastByte)), k.description) << "kind " << k.kind;
        EXPECT_TRUE(Implements(Category(k.lastByte))) << "kind " << k.kind;
    }
}

TEST_F(PluginCategoryTest, UnknownKindFailsAndRegistersNothing)
{
    EXPECT_EQ(RegisterPluginCategory(3, kTestClass), E_FAIL);
    EXPECT_EQ(RegisterPluginCategory(0, kTestClass), E_FAIL);
    EXPECT_FALSE(KeyExists(kTestClassKey));
}

}  // namespace
}  // namespace quorvex::test
