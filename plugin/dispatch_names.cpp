// GetIDsOfNames over the fixed table of method names.
#include "plugin/automation.h"
#include "plugin/dispids.h"

namespace quorvex {
namespace {

struct NameEntry {
    const wchar_t* name;
    DISPID dispid;
};

constexpr NameEntry kNameTable[] = {
    {L"OpenDevice", kDispidOpenDevice},         {L"StartCapture", kDispidStartCapture},
    {L"EndCapture", kDispidEndCapture},         {L"GetDeviceID", kDispidGetDeviceID},
    {L"GetDeviceCount", kDispidGetDeviceCount}, {L"GetStatusString", kDispidGetStatusString},
};

// Only A-Z fold: a locale-aware comparison would let some locales (Turkish
// dotless i) miss "OpenDevice" or match names that are not there.
wchar_t FoldAscii(wchar_t c) noexcept { return (c >= L'a' && c <= L'z') ? static_cast<wchar_t>(c - L'a' + L'A') : c; }

bool SameName(const wchar_t* given, const wchar_t* known) noexcept
{
    if (!given) return false;
    for (; *known; ++given, ++known) {
        if (FoldAscii(*given) != FoldAscii(*known)) return false;
    }
    return *given == L'\0';
}

}  // namespace

HRESULT GetPluginIDsOfNames(LPOLESTR* names, UINT nameCount, DISPID* dispids) noexcept
{
    if (nameCount > 0 && (!names || !dispids)) return E_POINTER;
    for (UINT i = 0; i < nameCount; ++i) {
        const NameEntry* match = nullptr;
        for (const NameEntry& entry : kNameTable) {
            if (SameName(names[i], entry.name)) {
                match = &entry;
                break;
            }
        }
        // Parameter names are not known: a second name ends the lookup here.
        if (!match) return DISP_E_UNKNOWNNAME;
        dispids[i] = match->dispid;
    }
    return S_OK;
}

}  // namespace quorvex
