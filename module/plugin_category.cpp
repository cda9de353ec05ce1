// The component categories that mark a class as an authentication plug-in of
// one kind, registered through the platform's component categories manager.
#include <comcat.h>

#include <algorithm>
#include <cwchar>

#include "module/registration.h"
#include "win/com_ptr.h"

namespace quorvex {
namespace {

struct CategoryEntry {
    PluginKind kind;
    CATID catid;
    const wchar_t* description;
};

// The CATIDs differ only in their last byte.
const CategoryEntry kCategories[] = {
    {PluginKind::Password,
     {0x38547D33, 0xB8B0, 0x4656, {0x85, 0xE4, 0xA1, 0x7D, 0xE0, 0x05, 0x4F, 0x02}},
     L"Tavrix Password Authentication Plugin"},
    {PluginKind::Certificate,
     {0x38547D33, 0xB8B0, 0x4656, {0x85, 0xE4, 0xA1, 0x7D, 0xE0, 0x05, 0x4F, 0x01}},
     L"Tavrix Certificate Authentication Plugin"},
    {PluginKind::Fingerprint,
     {0x38547D33, 0xB8B0, 0x4656, {0x85, 0xE4, 0xA1, 0x7D, 0xE0, 0x05, 0x4F, 0x00}},
     L"Tavrix Fingerprint Authentication Plugin"},
};

constexpr LCID kDescriptionLocale = 1033;

}  // namespace

HRESULT RegisterPluginCategory(PluginKind kind, REFCLSID clsid) noexcept
{
    ComPtr<ICatRegister> manager;
    const HRESULT created = ::CoCreateInstance(CLSID_StdComponentCategoriesMgr, nullptr, CLSCTX_ALL, IID_ICatRegister,
                                               manager.put_void());
    if (FAILED(created)) return created;

    const CategoryEntry* category = nullptr;
    for (const CategoryEntry& entry : kCategories) {
        if (entry.kind == kind) category = &entry;
    }
    if (!category) return E_FAIL;

    CATEGORYINFO info{};
    info.catid = category->catid;
    info.lcid = kDescriptionLocale;
    const size_t length = std::min(std::wcslen(category->description), ARRAYSIZE(info.szDescription) - 1);
    std::wmemcpy(info.szDescription, category->description, length);
    // Whether the manager recorded them is not reported: the class is usable
    // without its category, and installers only look at the class entries.
    manager->RegisterCategories(1, &info);
    CATID catid = category->catid;
    manager->RegisterClassImplCategories(clsid, 1, &catid);
    return created;
}

}  // namespace quorvex
