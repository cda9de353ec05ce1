#include "dispatch_fuzz/hostile_calls.h"

#include <oleauto.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <limits>
#include <new>
#include <sstream>

#include "quorvex_h.h"
#include "win/com_ptr.h"
#include "win/unique_bstr.h"
#include "win/unique_variant.h"

namespace quorvex::test {

std::uint64_t Rng::Next() noexcept
{
    // splitmix64: small, fast and good enough to spread the cases.
    std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ULL);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
}

std::uint64_t CaseSeed(std::uint32_t runSeed, std::size_t index) noexcept
{
    Rng mix((static_cast<std::uint64_t>(runSeed) << 32) ^ index);
    return mix.Next();
}

GuardedRegion::GuardedRegion(std::size_t bytes)
{
    SYSTEM_INFO system{};
    ::GetSystemInfo(&system);
    const std::size_t page = system.dwPageSize;
    bytes_ = (bytes + page - 1) / page * page;
    base_ = static_cast<BYTE*>(::VirtualAlloc(nullptr, bytes_ + page, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
    if (!base_) throw std::bad_alloc();
    guard_ = base_ + bytes_;
    DWORD previous = 0;
    if (!::VirtualProtect(guard_, page, PAGE_NOACCESS, &previous)) throw std::bad_alloc();
}

GuardedRegion::~GuardedRegion() { ::VirtualFree(base_, 0, MEM_RELEASE); }

STDMETHODIMP ValueObject::QueryInterface(REFIID iid, void** out)
{
    if (!out) return E_POINTER;
    *out = nullptr;
    if (!IsEqualIID(iid, IID_IUnknown) && !(dispatchable_ && IsEqualIID(iid, IID_IDispatch))) return E_NOINTERFACE;
    *out = static_cast<IDispatch*>(this);
    AddRef();
    return S_OK;
}

STDMETHODIMP ValueObject::GetTypeInfoCount(UINT* count)
{
    if (!count) return E_POINTER;
    *count = 0;
    return S_OK;
}

STDMETHODIMP ValueObject::Invoke(DISPID dispid, REFIID, LCID, WORD, DISPPARAMS*, VARIANT* result, EXCEPINFO*, UINT*)
{
    if (dispid != DISPID_VALUE) return DISP_E_MEMBERNOTFOUND;
    if (IDispatch* plugin = callback_) {
        // Calls back in the middle of the plug-in's argument coercion.
        DISPPARAMS none{};
        plugin->Invoke(3, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &none, nullptr, nullptr, nullptr);
    }
    if (!result) return E_POINTER;
    ::VariantInit(result);
    switch (answer_) {
    case Answer::Text:
        V_VT(result) = VT_BSTR;
        V_BSTR(result) = ::SysAllocString(L"7");
        return V_BSTR(result) ? S_OK : E_OUTOFMEMORY;
    case Answer::Number:
        V_VT(result) = VT_I4;
        V_I4(result) = 12;
        return S_OK;
    case Answer::Error: return E_FAIL;
    case Answer::Nothing: return S_OK;
    }
    return E_UNEXPECTED;
}

namespace {

constexpr UINT kMaxLaidOut = 6;  // more arguments than any method takes, up to the limit and past it

// ---------------------------------------------------------------------------
// Argument values

const VARTYPE kIntegerFamily[] = {VT_I1,   VT_UI1, VT_I2,  VT_UI2,  VT_I4,    VT_UI4,    VT_INT,
                                  VT_UINT, VT_I8,  VT_UI8, VT_BOOL, VT_ERROR, VT_HRESULT};
const VARTYPE kByReferenceScalars[] = {VT_I1,  VT_UI1,  VT_I2,    VT_UI2, VT_I4, VT_UI4,  VT_INT, VT_UINT,   VT_I8,
                                       VT_UI8, VT_BOOL, VT_ERROR, VT_R4,  VT_R8, VT_DATE, VT_CY,  VT_DECIMAL};
const double kDoubles[] = {0.0,
                           -0.0,
                           1.5,
                           2.5,
                           -1.0,
                           3.0,
                           15.49,
                           1e300,
                           -1e300,
                           4294967296.0,
                           2147483647.5,
                           1e-310,
                           std::numeric_limits<double>::quiet_NaN(),
                           std::numeric_limits<double>::infinity(),
                           -std::numeric_limits<double>::infinity()};
const wchar_t* const kNumberTexts[] = {L"5",   L"3",           L"-1",   L" 12 ", L"1e3",   L"&H10",
                                       L"3.5", L"99999999999", L"0x10", L"+7",   L"1,000", L"\u0661"};
const wchar_t kOddCharacters[] = {0x130, 0x131, 0xFFFF, 0xD800, 0xDC00, 0x0001, 0xFEFF, 0x00DF, 0xFF21, 0x0009};

// Everything that by-reference parts of one argument point at. Owned here
// (and freed after the call), except the objects, which the context owns.
struct Referents {
    Referents() noexcept { ::VariantInit(&variant); }
    ~Referents()
    {
        ::VariantClear(&variant);
        // Whatever the callee stored in place of the original text is the
        // caller's to free now.
        if (text != original.get()) ::SysFreeString(text);
        if (array) ::SafeArrayDestroy(array);
    }
    Referents(const Referents&) = delete;
    Referents& operator=(const Referents&) = delete;

    VARIANT variant;                   // of VT_BYREF|VT_VARIANT
    UniqueBstr original;               // first content of `text`
    BSTR text = nullptr;               // of VT_BYREF|VT_BSTR
    IUnknown* object = nullptr;        // of VT_BYREF|VT_DISPATCH / VT_UNKNOWN
    SAFEARRAY* array = nullptr;        // of VT_BYREF|VT_ARRAY
    alignas(16) BYTE scalar[16] = {};  // of every other by-reference type
};

std::wstring ChangeCase(std::wstring text, Rng& rng)
{
    for (wchar_t& c : text) {
        if (rng.Percent(50) && c < 0x80 && iswalpha(c)) c = static_cast<wchar_t>(c ^ 0x20);
    }
    return text;
}

BSTR MakeText(Rng& rng, const FuzzContext& context)
{
    const std::wstring reader = context.readerNames.empty()
                                    ? std::wstring(L"Fuzz Reader 0")
                                    : context.readerNames[rng.Below(static_cast<UINT>(context.readerNames.size()))];
    switch (rng.Below(14)) {
    case 0: return nullptr;
    case 1: return ::SysAllocString(L"");
    case 2: return ::SysAllocString(rng.Pick(kNumberTexts));
    case 3: return ::SysAllocString(L"x");
    case 4:
    case 5: return ::SysAllocString(reader.c_str());
    case 6: return ::SysAllocString(ChangeCase(reader, rng).c_str());
    case 7: {
        const std::wstring embedded = reader + std::wstring(1, L'\0') + L"tail";
        return ::SysAllocStringLen(embedded.data(), static_cast<UINT>(embedded.size()));
    }
    case 8: {
        std::wstring text(rng.Below(20000) + 1, L' ');
        for (std::size_t i = 0; i < text.size(); ++i) text[i] = static_cast<wchar_t>(L'A' + i % 26);
        return ::SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
    }
    case 9: {
        std::wstring text(rng.Below(8) + 1, L' ');
        for (wchar_t& c : text) c = rng.Pick(kOddCharacters);
        return ::SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
    }
    case 10: return ::SysAllocStringByteLen("abc", 3);  // an odd byte length
    default: {
        std::wstring text(rng.Below(41), L' ');
        for (wchar_t& c : text) c = static_cast<wchar_t>(rng.Below(0xFFFF) + 1);
        return ::SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
    }
    }
}

LONGLONG SmallOrWild(Rng& rng)
{
    return rng.Percent(50) ? static_cast<LONGLONG>(rng.Below(23)) - 2 : static_cast<LONGLONG>(rng.Next());
}

IUnknown* PickObject(Rng& rng, FuzzContext& context, UINT nullPercent)
{
    if (rng.Percent(nullPercent)) return nullptr;
    return static_cast<IDispatch*>(context.objects[rng.Below(5)]);
}

// A real array; an array of texts or VARIANTs owns its elements.
SAFEARRAY* MakeArray(Rng& rng, const FuzzContext& context, VARTYPE* elementType)
{
    static const VARTYPE types[] = {VT_UI1, VT_I4, VT_BSTR, VT_VARIANT, VT_R8};
    *elementType = rng.Pick(types);
    const LONG count = static_cast<LONG>(rng.Below(5));
    SAFEARRAY* array = ::SafeArrayCreateVector(*elementType, 0, static_cast<ULONG>(count));
    if (!array) return nullptr;
    for (LONG i = 0; i < count; ++i) {
        switch (*elementType) {
        case VT_UI1: {
            BYTE digit = static_cast<BYTE>(i + 1 == count && rng.Percent(50) ? 0 : '0' + rng.Below(10));
            ::SafeArrayPutElement(array, &i, &digit);
            break;
        }
        case VT_I4:
        case VT_R8: {
            LONGLONG bits = SmallOrWild(rng);
            ::SafeArrayPutElement(array, &i, &bits);
            break;
        }
        case VT_BSTR: {
            UniqueBstr text(MakeText(rng, context));
            ::SafeArrayPutElement(array, &i, text.get());
            break;
        }
        default: {
            UniqueVariant element;
            V_VT(element.get()) = VT_I4;
            V_I4(element.get()) = static_cast<LONG>(SmallOrWild(rng));
            ::SafeArrayPutElement(array, &i, element.get());
            break;
        }
        }
    }
    return array;
}

void FillByReference(VARIANT& v, Referents& r, Rng& rng, FuzzContext& context)
{
    switch (rng.Below(5)) {
    case 0:
    case 1:
        for (BYTE& b : r.scalar) b = static_cast<BYTE>(rng.Next());
        V_VT(&v) = VT_BYREF | rng.Pick(kByReferenceScalars);
        V_BYREF(&v) = r.scalar;
        break;
    case 2:
        r.original.reset(rng.Percent(50) ? nullptr : MakeText(rng, context));
        r.text = r.original.get();
        V_VT(&v) = VT_BYREF | VT_BSTR;
        V_BSTRREF(&v) = &r.text;
        break;
    case 3:
        r.object = PickObject(rng, context, 30);
        V_VT(&v) = VT_BYREF | (rng.Percent(50) ? VT_DISPATCH : VT_UNKNOWN);
        V_UNKNOWNREF(&v) = &r.object;
        break;
    default: {
        VARTYPE elementType = VT_UI1;
        r.array = rng.Percent(20) ? nullptr : MakeArray(rng, context, &elementType);
        V_VT(&v) = VT_BYREF | VT_ARRAY | elementType;
        V_ARRAYREF(&v) = &r.array;
        break;
    }
    }
    if (rng.Percent(5)) V_BYREF(&v) = nullptr;
}

// A VARTYPE that is no valid VARIANT type, or a valid one with flags that do
// not belong to it. By reference it points at storage; by value its payload is
// random bits, never a pointer to anything.
void FillBadType(VARIANT& v, Referents& r, Rng& rng)
{
    static const VARTYPE known[] = {0x0F,
                                    VT_VARIANT,
                                    VT_VOID,
                                    VT_PTR,
                                    VT_SAFEARRAY,
                                    VT_CARRAY,
                                    VT_USERDEFINED,
                                    VT_LPSTR,
                                    VT_LPWSTR,
                                    VT_FILETIME,
                                    VT_BLOB,
                                    VT_CLSID,
                                    VT_VECTOR | VT_I4,
                                    VT_RESERVED | VT_I4,
                                    0x0FFF,
                                    0x7FFF,
                                    VT_BYREF | 0x0FFF,
                                    VT_BYREF | VT_VECTOR | VT_VARIANT,
                                    VT_BYREF | VT_RESERVED | VT_BSTR};
    VARTYPE vt = rng.Percent(50) ? rng.Pick(known) : static_cast<VARTYPE>(rng.Next());
    vt &= static_cast<VARTYPE>(~VT_ARRAY);
    const VARTYPE base = vt & VT_TYPEMASK;
    if (vt & VT_BYREF) {
        V_VT(&v) = vt;
        if (base == VT_VARIANT) {
            V_BYREF(&v) = &r.variant;
        } else if (base == VT_BSTR) {
            V_BYREF(&v) = &r.text;
        } else if (base == VT_DISPATCH || base == VT_UNKNOWN) {
            V_BYREF(&v) = &r.object;
        } else {
            V_BYREF(&v) = r.scalar;
        }
        return;
    }
    // By value these would carry a pointer: keep the flags, lose the type.
    if (base == VT_BSTR || base == VT_DISPATCH || base == VT_UNKNOWN || base == VT_RECORD) vt |= VT_TYPEMASK;
    V_I8(&v) = static_cast<LONGLONG>(rng.Next());
    V_VT(&v) = vt;
}

// `v` is VT_EMPTY on entry; what it comes to own, VariantClear frees.
void FillValue(VARIANT& v, Referents& r, Rng& rng, FuzzContext& context, IDispatch* plugin, bool mayReferToVariant)
{
    switch (rng.Below(24)) {
    case 0: return;
    case 1: V_VT(&v) = VT_NULL; return;
    case 2:
    case 3:
    case 4:
        // Random bits above the type's width too: only the width counts.
        V_I8(&v) = SmallOrWild(rng);
        V_VT(&v) = rng.Pick(kIntegerFamily);
        return;
    case 5: {
        const double value = rng.Pick(kDoubles);
        static const VARTYPE types[] = {VT_R4, VT_R8, VT_DATE};
        V_VT(&v) = rng.Pick(types);
        if (V_VT(&v) == VT_R4) {
            V_R4(&v) = static_cast<float>(value);
        } else {
            V_R8(&v) = value;
        }
        return;
    }
    case 6:
        V_CY(&v).int64 = rng.Percent(50) ? SmallOrWild(rng) * 10000 : static_cast<LONGLONG>(rng.Next());
        V_VT(&v) = VT_CY;
        return;
    case 7: {
        DECIMAL value{};
        ::VarDecFromI8(SmallOrWild(rng), &value);
        value.scale = static_cast<BYTE>(rng.Below(29));
        V_DECIMAL(&v) = value;  // overlaps the type field: the type goes last
        V_VT(&v) = VT_DECIMAL;
        return;
    }
    case 8:
    case 9:
    case 10:
        V_VT(&v) = VT_BSTR;
        V_BSTR(&v) = MakeText(rng, context);
        return;
    case 11: {
        // Sometimes the plug-in itself: its own default value does not exist.
        IDispatch* object = rng.Percent(15) ? plugin : static_cast<IDispatch*>(PickObject(rng, context, 25));
        if (object) object->AddRef();
        V_VT(&v) = VT_DISPATCH;
        V_DISPATCH(&v) = object;
        return;
    }
    case 12: {
        IUnknown* object = PickObject(rng, context, 25);
        if (object) object->AddRef();
        V_VT(&v) = VT_UNKNOWN;
        V_UNKNOWN(&v) = object;
        return;
    }
    case 13:
        // A missing optional argument, as script engines pass it.
        V_VT(&v) = VT_ERROR;
        V_ERROR(&v) = DISP_E_PARAMNOTFOUND;
        return;
    case 14:
        V_VT(&v) = VT_RECORD;  // no record and no record information
        return;
    case 15: {
        VARTYPE elementType = VT_UI1;
        SAFEARRAY* array = rng.Percent(20) ? nullptr : MakeArray(rng, context, &elementType);
        V_VT(&v) = VT_ARRAY | elementType;
        V_ARRAY(&v) = array;
        return;
    }
    case 16:
    case 17:
    case 18:
    case 19: FillByReference(v, r, rng, context); return;
    case 20:
    case 21:
        if (!mayReferToVariant) return;
        FillValue(r.variant, r, rng, context, plugin, false);
        V_VT(&v) = VT_BYREF | VT_VARIANT;
        V_VARIANTREF(&v) = rng.Percent(5) ? nullptr : &r.variant;
        return;
    default: FillBadType(v, r, rng); return;
    }
}

// ---------------------------------------------------------------------------
// What the dispatcher must answer

enum class Param { Text, Number, Place };
struct Signature {
    UINT count;
    struct {
        Param kind;
        UINT index;  // in rgvarg, and the argument-error index
    } params[3];     // in the order they are examined
};

const Signature* SignatureOf(DISPID dispid) noexcept
{
    static const Signature table[] = {
        {1, {{Param::Text, 0}}},                                      // OpenDevice
        {3, {{Param::Text, 2}, {Param::Text, 1}, {Param::Text, 0}}},  // StartCapture
        {0, {}},                                                      // EndCapture
        {1, {{Param::Number, 0}}},                                    // GetDeviceID
        {2, {{Param::Text, 1}, {Param::Text, 0}}},                    // GetDeviceCount
        {2, {{Param::Number, 1}, {Param::Place, 0}}},                 // GetStatusString
    };
    return dispid >= 1 && dispid <= 6 ? &table[dispid - 1] : nullptr;
}

// A value that a method parameter of this kind accepts.
void FillFitting(Param kind, VARIANT& v, Referents& r, Rng& rng, FuzzContext& context)
{
    switch (kind) {
    case Param::Text:
        V_VT(&v) = VT_BSTR;
        V_BSTR(&v) = MakeText(rng, context);
        return;
    case Param::Number:
        V_VT(&v) = VT_I4;
        V_I4(&v) = static_cast<LONG>(SmallOrWild(rng));
        return;
    case Param::Place:
        if (rng.Percent(50)) {
            r.original.reset(rng.Percent(70) ? nullptr : MakeText(rng, context));
            r.text = r.original.get();
            V_VT(&v) = VT_BYREF | VT_BSTR;
            V_BSTRREF(&v) = &r.text;
        } else {
            V_VT(&r.variant) = VT_BSTR;
            V_BSTR(&r.variant) = MakeText(rng, context);
            V_VT(&v) = VT_BYREF | VT_VARIANT;
            V_VARIANTREF(&v) = &r.variant;
        }
        return;
    }
}

bool InIntegerFamily(VARTYPE vt) noexcept
{
    return std::find(std::begin(kIntegerFamily), std::end(kIntegerFamily), vt) != std::end(kIntegerFamily);
}

bool Converts(const VARIANT& v, VARTYPE type)
{
    UniqueVariant converted;
    return SUCCEEDED(::VariantChangeType(converted.get(), const_cast<VARIANT*>(&v), 0, type));
}

// Whether an argument fits its parameter: the exact type; else, after
// following one VT_BYREF|VT_VARIANT, no by-reference value; integer-family
// values for a number; anything that converts.
bool Fits(Param kind, const VARIANT& argument)
{
    if (kind == Param::Place) {
        return (V_VT(&argument) == (VT_BYREF | VT_BSTR) && V_BSTRREF(&argument)) ||
               (V_VT(&argument) == (VT_BYREF | VT_VARIANT) && V_VARIANTREF(&argument));
    }
    const VARTYPE wanted = kind == Param::Text ? VT_BSTR : VT_I4;
    if (V_VT(&argument) == wanted) return true;
    const VARIANT* v = V_VT(&argument) == (VT_BYREF | VT_VARIANT) ? V_VARIANTREF(&argument) : &argument;
    if (!v || (V_VT(v) & VT_BYREF)) return false;
    if (kind == Param::Number && InIntegerFamily(V_VT(v))) return true;
    return Converts(*v, wanted);
}

bool SameBytes(const VARIANT& a, const VARIANT& b) noexcept { return std::memcmp(&a, &b, sizeof(VARIANT)) == 0; }

struct InvokeCase {
    DISPID dispid = 0;
    IID iid = IID_NULL;
    LCID locale = 0;
    WORD flags = DISPATCH_METHOD;
    bool withParams = true;
    DISPPARAMS params{};
    UINT laidOut = 0;  // VARIANTs behind rgvarg
    std::array<Referents, kMaxLaidOut> referents;
    bool withResult = true;
    bool withException = true;
    bool withArgumentError = true;

    // Bitwise copies from before the call.
    std::array<VARIANT, kMaxLaidOut> arguments{};
    std::array<VARIANT, kMaxLaidOut> referred{};
    std::array<BSTR, kMaxLaidOut> texts{};

    void TakeSnapshot() noexcept
    {
        for (UINT i = 0; i < laidOut; ++i) {
            arguments[i] = params.rgvarg[i];
            referred[i] = referents[i].variant;
            texts[i] = referents[i].text;
        }
    }

    std::string Describe() const
    {
        std::ostringstream text;
        text << "dispid " << dispid << ", flags 0x" << std::hex << flags << std::dec;
        if (!withParams) return text.str() + ", no DISPPARAMS";
        text << ", cArgs " << params.cArgs << (params.rgvarg ? "" : " (rgvarg null)") << ", cNamedArgs "
             << params.cNamedArgs << (params.rgdispidNamedArgs ? "" : " (null)");
        for (UINT i = 0; params.rgdispidNamedArgs && i < params.cNamedArgs && i < 8; ++i) {
            text << (i ? "," : " [") << params.rgdispidNamedArgs[i] << (i + 1 == params.cNamedArgs ? "]" : "");
        }
        text << ", rgvarg types";
        for (UINT i = 0; i < laidOut; ++i) {
            text << " [" << i << "]=0x" << std::hex << V_VT(&arguments[i]) << std::dec;
            if (V_VT(&arguments[i]) != (VT_BYREF | VT_VARIANT)) continue;
            const VARIANT* target = V_VARIANTREF(&arguments[i]);
            for (UINT j = 0; j < laidOut; ++j) {
                if (target == &params.rgvarg[j]) text << "->[" << j << "]";
                if (target == &referents[j].variant) text << "->0x" << std::hex << V_VT(&referred[j]) << std::dec;
            }
        }
        text << (withResult ? "" : ", no result") << (withException ? "" : ", no EXCEPINFO")
             << (withArgumentError ? "" : ", no puArgErr");
        return text.str();
    }
};

void Generate(InvokeCase& c, Rng& rng, FuzzContext& context, IDispatch* plugin)
{
    static const DISPID otherDispids[] = {0,
                                          DISPID_UNKNOWN,
                                          -2,
                                          DISPID_PROPERTYPUT,
                                          DISPID_NEWENUM,
                                          DISPID_EVALUATE,
                                          DISPID_CONSTRUCTOR,
                                          DISPID_DESTRUCTOR,
                                          DISPID_COLLECT,
                                          7,
                                          0x7FFFFFFF,
                                          std::numeric_limits<DISPID>::min(),
                                          0x60020000};
    static const WORD flagChoices[] = {DISPATCH_METHOD,
                                       DISPATCH_PROPERTYGET,
                                       DISPATCH_METHOD | DISPATCH_PROPERTYGET,
                                       DISPATCH_PROPERTYPUT,
                                       DISPATCH_PROPERTYPUTREF,
                                       DISPATCH_PROPERTYPUT | DISPATCH_PROPERTYPUTREF,
                                       0,
                                       0xFFFF};
    static const LCID locales[] = {0, 0x409, 0x407, 0x41F, LOCALE_USER_DEFAULT, LOCALE_SYSTEM_DEFAULT};
    static const IID iids[] = {IID_NULL, IID_NULL, IID_NULL, IID_NULL, IID_IDispatch, IID_IPkiAuthenticationPlugin};

    c.dispid = rng.Percent(60) ? static_cast<DISPID>(rng.Below(6) + 1)
                               : (rng.Percent(80) ? rng.Pick(otherDispids) : static_cast<DISPID>(rng.Next()));
    c.flags = rng.Percent(85) ? rng.Pick(flagChoices) : static_cast<WORD>(rng.Next());
    c.locale = rng.Percent(85) ? rng.Pick(locales) : static_cast<LCID>(rng.Next());
    c.iid = rng.Pick(iids);
    if (rng.Percent(5)) {
        c.iid.Data1 = static_cast<unsigned long>(rng.Next());
        c.iid.Data4[7] = static_cast<unsigned char>(rng.Next());
    }
    c.withParams = !rng.Percent(3);
    c.withResult = !rng.Percent(15);
    c.withException = !rng.Percent(30);
    c.withArgumentError = !rng.Percent(30);

    const Signature* signature = SignatureOf(c.dispid);
    UINT count = signature && rng.Percent(70) ? signature->count : rng.Below(kMaxLaidOut + 1);
    const bool nullArguments = rng.Percent(4);
    if (nullArguments && rng.Percent(30)) {
        static const UINT huge[] = {5, 0x10000, 0x7FFFFFFF, 0xFFFFFFFF};
        count = rng.Pick(huge);  // a count with nothing behind it: only with a null rgvarg
    }
    c.params.cArgs = count;
    c.laidOut = nullArguments ? 0 : count;
    c.params.rgvarg = nullArguments ? nullptr : context.arguments.End<VARIANT>(c.laidOut);
    for (UINT i = 0; i < c.laidOut; ++i) ::VariantInit(&c.params.rgvarg[i]);

    // Arguments that fit now and then, so that the methods run.
    const bool aimed = signature && count == signature->count && rng.Percent(60);
    for (UINT i = 0; i < c.laidOut; ++i) {
        VARIANT& v = c.params.rgvarg[i];
        const auto* param = aimed ? std::find_if(signature->params, signature->params + signature->count,
                                                 [i](const auto& p) { return p.index == i; })
                                  : nullptr;
        if (aimed && param == signature->params + signature->count) param = nullptr;
        if (param && rng.Percent(80)) {
            FillFitting(param->kind, v, c.referents[i], rng, context);
        } else {
            FillValue(v, c.referents[i], rng, context, plugin, true);
        }
    }
    // Two arguments that refer to one VARIANT, as a script passing one
    // variable twice does, or an argument that refers to another argument.
    for (UINT i = 0; c.laidOut > 1 && i < c.laidOut; ++i) {
        if (!rng.Percent(8)) continue;
        UINT other = rng.Below(c.laidOut - 1);
        if (other >= i) ++other;
        VARIANT& v = c.params.rgvarg[i];
        ::VariantClear(&v);
        V_VT(&v) = VT_BYREF | VT_VARIANT;
        V_VARIANTREF(&v) = rng.Percent(50) ? &c.referents[other].variant : &c.params.rgvarg[other];
    }

    if (rng.Percent(25)) {
        static const UINT huge[] = {0x10000, 0x7FFFFFFF, 0xFFFFFFFF};
        const bool nullNames = rng.Percent(15);
        UINT named = rng.Below(3) + 1;
        if (nullNames && rng.Percent(30)) named = rng.Pick(huge);
        c.params.cNamedArgs = named;
        if (!nullNames) {
            DISPID* names = context.namedArguments.End<DISPID>(named);
            static const DISPID choices[] = {DISPID_PROPERTYPUT, DISPID_PROPERTYPUT, DISPID_PROPERTYPUT, 0, 1, 2,
                                             DISPID_UNKNOWN};
            for (UINT i = 0; i < named; ++i) {
                names[i] = rng.Percent(15) ? static_cast<DISPID>(rng.Next())
                                           : (i > 0 && rng.Percent(30) ? names[i - 1] : rng.Pick(choices));
            }
            c.params.rgdispidNamedArgs = names;
        }
    }
}

struct Expected {
    HRESULT rejection = S_OK;  // S_OK: the method runs
    bool resultInitialised = true;
    UINT misfit = 0;
};

// The checks in their order: the argument block, the count limit (the result
// is initialised after it), named arguments, the DISPID, the method's count,
// the arguments in their order.
Expected Predict(const InvokeCase& c)
{
    Expected e;
    const DISPPARAMS& p = c.params;
    if (!c.withParams) return {DISP_E_BADVARTYPE, false, 0};
    if (p.cArgs > 4) return {DISP_E_BADPARAMCOUNT, false, 0};
    // One named argument is taken, and ignored: the value of a property put.
    const bool namesAccepted = p.cNamedArgs == 0 || (p.cNamedArgs == 1 && p.cArgs >= 1 && p.rgdispidNamedArgs &&
                                                     p.rgdispidNamedArgs[0] == DISPID_PROPERTYPUT);
    const Signature* signature = SignatureOf(c.dispid);
    if (!namesAccepted) {
        e.rejection = DISP_E_NONAMEDARGS;
    } else if (!signature) {
        e.rejection = DISP_E_MEMBERNOTFOUND;
    } else if (p.cArgs != signature->count) {
        e.rejection = DISP_E_BADPARAMCOUNT;
    } else if (p.cArgs > 0 && !p.rgvarg) {
        e.rejection = DISP_E_BADVARTYPE;
    } else {
        for (UINT i = 0; i < signature->count; ++i) {
            if (!Fits(signature->params[i].kind, p.rgvarg[signature->params[i].index])) {
                e.rejection = DISP_E_TYPEMISMATCH;
                e.misfit = signature->params[i].index;
                break;
            }
        }
    }
    return e;
}

class CaseReport {
public:
    CaseReport(const InvokeCase& c, std::uint64_t seed, HRESULT hr, FuzzContext& context)
        : case_(c),
          seed_(seed),
          hr_(hr),
          context_(context)
    {
    }
    void Check(bool ok, const char* rule)
    {
        if (ok) return;
        ok_ = false;
        // Enough to see the pattern without drowning the log.
        if (++context_.failures <= 25) {
            ADD_FAILURE() << rule << "\n  case seed 0x" << std::hex << seed_ << ", HRESULT 0x"
                          << static_cast<unsigned long>(hr_) << std::dec << "\n  " << case_.Describe();
        }
    }
    bool ok() const noexcept { return ok_; }

private:
    const InvokeCase& case_;
    std::uint64_t seed_;
    HRESULT hr_;
    FuzzContext& context_;
    bool ok_ = true;
};

constexpr LONG kResultSentinel = 0x5EED;
constexpr UINT kArgumentErrorSentinel = 0xA5A5A5A5;

void CheckMethodResult(CaseReport& report, const InvokeCase& c, HRESULT hr, const VARIANT& result)
{
    const bool readerMethod = c.dispid == 1 || c.dispid == 4 || c.dispid == 5;
    report.Check(hr == S_OK || (readerMethod && hr == E_FAIL), "a method answered other than S_OK or E_FAIL");
    if (!c.withResult) return;
    if (c.dispid == 4) {
        report.Check(V_VT(&result) == VT_BSTR, "GetDeviceID's result is not a VT_BSTR");
        report.Check(hr == S_OK || V_BSTR(&result), "a failed GetDeviceID came without its error text");
        return;
    }
    report.Check(V_VT(&result) == VT_I4, "the result is not a VT_I4");
    const LONG value = V_I4(&result);
    switch (c.dispid) {
    case 1: report.Check(value == (hr == S_OK ? 0 : -1), "OpenDevice's returnCode does not match its HRESULT"); break;
    case 2: report.Check(value == 0 || value == -1, "StartCapture's returnCode is neither 0 nor -1"); break;
    case 5: report.Check(value >= 0 && value <= 16, "GetDeviceCount counted outside 0..16"); break;
    default: report.Check(value == 0, "the returnCode is not 0"); break;
    }
}

// Arguments after the call: nothing changed unless the method ran; then only
// values converted in place, into the types the dispatcher converts to, and
// the place of GetStatusString's text (which may be another argument).
void CheckArguments(CaseReport& report, const InvokeCase& c, bool methodRan)
{
    const VARIANT* place = c.dispid == 6 && c.laidOut == 2 && V_VT(&c.arguments[0]) == (VT_BYREF | VT_VARIANT)
                               ? V_VARIANTREF(&c.arguments[0])
                               : nullptr;
    for (UINT i = 0; i < c.laidOut; ++i) {
        const VARIANT& now = c.params.rgvarg[i];
        const VARIANT& before = c.arguments[i];
        const bool convertible = methodRan && (!(V_VT(&before) & VT_BYREF) || &now == place);
        if (!SameBytes(now, before)) {
            report.Check(convertible && (V_VT(&now) == VT_BSTR || V_VT(&now) == VT_I4),
                         "an argument VARIANT was changed");
        }
        if (!SameBytes(c.referents[i].variant, c.referred[i])) {
            const VARTYPE vt = V_VT(&c.referents[i].variant);
            report.Check(methodRan && (vt == VT_BSTR || vt == VT_I4), "a VARIANT referred to was changed");
        }
        if (c.referents[i].text != c.texts[i]) {
            report.Check(methodRan && c.dispid == 6 && i == 0 && c.referents[i].text,
                         "a string referred to was changed");
        }
    }
    if (methodRan && c.dispid == 6) {
        const VARIANT& output = c.params.rgvarg[0];
        const BSTR text = V_VT(&output) == (VT_BYREF | VT_BSTR)    ? *V_BSTRREF(&output)
                          : V_VT(V_VARIANTREF(&output)) == VT_BSTR ? V_BSTR(V_VARIANTREF(&output))
                                                                   : nullptr;
        report.Check(text != nullptr, "GetStatusString left no text in its place");
    }
}

}  // namespace

bool RunInvokeCase(IDispatch* plugin, std::uint64_t caseSeed, FuzzContext& context)
{
    Rng rng(caseSeed);
    InvokeCase c;
    Generate(c, rng, context, plugin);
    c.TakeSnapshot();
    const Expected expected = Predict(c);

    UniqueVariant result;
    V_VT(result.get()) = VT_I4;  // a plain value: overwriting it loses nothing
    V_I4(result.get()) = kResultSentinel;
    EXCEPINFO exception{};
    UINT argumentError = kArgumentErrorSentinel;

    for (ValueObject* object : context.objects) object->Arm(plugin);
    const HRESULT hr = plugin->Invoke(c.dispid, c.iid, c.locale, c.flags, c.withParams ? &c.params : nullptr,
                                      c.withResult ? result.get() : nullptr, c.withException ? &exception : nullptr,
                                      c.withArgumentError ? &argumentError : nullptr);
    for (ValueObject* object : context.objects) object->Arm(nullptr);

    CaseReport report(c, caseSeed, hr, context);
    const bool methodRan = expected.rejection == S_OK;
    ++context.tally.invokes;
    if (methodRan) {
        ++context.tally.methods;
        CheckMethodResult(report, c, hr, *result.get());
    } else {
        if (expected.rejection == DISP_E_TYPEMISMATCH) {
            ++context.tally.mismatches;
        } else {
            ++context.tally.early;
        }
        report.Check(hr == expected.rejection, "not the expected rejection");
        if (c.withResult) {
            report.Check(expected.resultInitialised
                             ? V_VT(result.get()) == VT_EMPTY
                             : V_VT(result.get()) == VT_I4 && V_I4(result.get()) == kResultSentinel,
                         "a rejected call left something in the result");
        }
    }
    if (c.withArgumentError) {
        report.Check(
            hr == DISP_E_TYPEMISMATCH ? argumentError == expected.misfit : argumentError == kArgumentErrorSentinel,
            "puArgErr is not the index of the misfit, or was set without one");
    }
    if (c.withException) {
        // Never filled in; whatever came back is ours to free all the same.
        UniqueBstr source(exception.bstrSource), description(exception.bstrDescription),
            helpFile(exception.bstrHelpFile);
        static const EXCEPINFO untouched{};
        report.Check(std::memcmp(&exception, &untouched, sizeof exception) == 0, "EXCEPINFO was filled in");
    }
    CheckArguments(report, c, methodRan);

    for (UINT i = 0; i < c.laidOut; ++i) ::VariantClear(&c.params.rgvarg[i]);
    if (c.dispid == 2 && methodRan && hr == S_OK) {
        ++context.tally.captures;
        ComPtr<IPkiAuthenticationPlugin> methods;
        LONG returnCode = 1;
        report.Check(SUCCEEDED(plugin->QueryInterface(IID_IPkiAuthenticationPlugin, methods.put_void())) &&
                         methods->EndCapture(&returnCode) == S_OK && returnCode == 0,
                     "EndCapture after a capture failed");
    }
    return report.ok();
}

// ---------------------------------------------------------------------------
// GetIDsOfNames

namespace {

const wchar_t* const kMethodNames[] = {L"OpenDevice",  L"StartCapture",   L"EndCapture",
                                       L"GetDeviceID", L"GetDeviceCount", L"GetStatusString"};

wchar_t AsciiUpper(wchar_t c) noexcept { return c >= L'a' && c <= L'z' ? static_cast<wchar_t>(c - 32) : c; }

// 0 when the name is none of the methods'.
DISPID ExpectedDispid(const wchar_t* name) noexcept
{
    if (!name) return 0;
    for (DISPID i = 0; i < 6; ++i) {
        const wchar_t* known = kMethodNames[i];
        std::size_t k = 0;
        while (known[k] && AsciiUpper(name[k]) == AsciiUpper(known[k])) ++k;
        if (!known[k] && !name[k]) return i + 1;
    }
    return 0;
}

// A name; `present` false stands for a null entry.
std::wstring MakeName(Rng& rng, bool* present)
{
    static const wchar_t* const parameterNames[] = {L"deviceID", L"returnCode", L"statusString", L"refCount",
                                                    L"username", L"pin",        L"Item",         L"_NewEnum",
                                                    L"value",    L"0",          L"DataReady",    L"Failed"};
    *present = true;
    std::wstring name = kMethodNames[rng.Below(6)];
    switch (rng.Below(12)) {
    case 0: *present = false; return {};
    case 1:
    case 2: return name;
    case 3:
    case 4: return ChangeCase(name, rng);
    case 5: name[rng.Below(static_cast<UINT>(name.size()))] = rng.Pick(kOddCharacters); return name;
    case 6: {
        static const wchar_t* const suffixes[] = {L"s", L"ID", L" ", L"\t", L"()"};
        if (rng.Percent(50)) return name.substr(0, name.size() - 1 - rng.Below(3));
        return name + rng.Pick(suffixes);
    }
    case 7: return {};
    case 8: {
        std::wstring text = rng.Percent(50) ? name : std::wstring();
        text.resize(text.size() + rng.Below(5000) + 1, L'A');
        return text;
    }
    case 9: return rng.Pick(parameterNames);
    case 10: return name.substr(0, 4) + std::wstring(1, L'\0') + name.substr(4);  // ends at the NUL
    default: {
        std::wstring text(rng.Below(31), L' ');
        for (wchar_t& c : text) c = static_cast<wchar_t>(rng.Below(0xFFFF) + 1);
        return text;
    }
    }
}

}  // namespace

bool RunNamesCase(IDispatch* plugin, std::uint64_t caseSeed, FuzzContext& context)
{
    Rng rng(caseSeed);
    static const UINT counts[] = {0, 1, 1, 1, 2, 2, 3, 4, 6, 9, 16, 64};
    const UINT count = rng.Pick(counts);

    std::vector<std::wstring> texts(count);
    std::vector<bool> present(count);
    std::size_t characters = 0;
    for (UINT i = 0; i < count; ++i) {
        bool here = true;
        texts[i] = MakeName(rng, &here);
        present[i] = here;
        characters += texts[i].size() + 1;
    }
    // Long names shrink until all fit; the last one ends at the guard page.
    const std::size_t room = context.nameTexts.bytes() / sizeof(wchar_t);
    while (characters > room) {
        auto longest = std::max_element(texts.begin(), texts.end(),
                                        [](const auto& a, const auto& b) { return a.size() < b.size(); });
        characters -= longest->size() / 2;
        longest->resize(longest->size() - longest->size() / 2);
    }
    wchar_t* cursor = context.nameTexts.End<wchar_t>(characters);

    const bool withNames = !(count > 0 && rng.Percent(5));
    const bool withDispids = !(count > 0 && rng.Percent(5));
    LPOLESTR* names = withNames ? context.nameArray.End<LPOLESTR>(count) : nullptr;
    DISPID* dispids = withDispids ? context.dispidArray.End<DISPID>(count) : nullptr;
    constexpr DISPID kUntouched = 0x7777;
    for (UINT i = 0; i < count; ++i) {
        std::copy(texts[i].begin(), texts[i].end(), cursor);
        cursor[texts[i].size()] = L'\0';
        if (names) names[i] = present[i] ? cursor : nullptr;
        if (dispids) dispids[i] = kUntouched;
        cursor += texts[i].size() + 1;
    }
    static const IID iids[] = {IID_NULL, IID_NULL, IID_NULL, IID_IDispatch, IID_IPkiAuthenticationPlugin, IID_IUnknown};
    static const LCID locales[] = {0, 0x409, 0x407, 0x41F, LOCALE_USER_DEFAULT};
    const IID iid = rng.Pick(iids);
    const LCID locale = rng.Percent(80) ? rng.Pick(locales) : static_cast<LCID>(rng.Next());

    const HRESULT hr = plugin->GetIDsOfNames(iid, names, count, locale, dispids);
    ++context.tally.names;

    // Names are looked up in their order; the first unknown one ends the
    // lookup with the names before it filled in and the rest untouched.
    HRESULT expected = S_OK;
    UINT filled = count;
    if (count > 0 && (!names || !dispids)) {
        expected = E_POINTER;
        filled = 0;
    } else {
        for (UINT i = 0; i < count; ++i) {
            if (!ExpectedDispid(names[i])) {
                expected = DISP_E_UNKNOWNNAME;
                filled = i;
                break;
            }
        }
    }
    bool ok = hr == expected;
    for (UINT i = 0; ok && dispids && i < count; ++i) {
        ok = dispids[i] == (i < filled ? ExpectedDispid(names[i]) : kUntouched);
    }
    if (!ok && ++context.failures <= 25) {
        std::ostringstream what;
        for (UINT i = 0; i < count && i < 8; ++i) {
            what << " [" << i << "] "
                 << (present[i]
                         ? std::string(texts[i].begin(), texts[i].begin() + std::min<std::size_t>(texts[i].size(), 20))
                         : std::string("(null)"))
                 << " -> " << (dispids ? dispids[i] : 0);
        }
        ADD_FAILURE() << "GetIDsOfNames answered 0x" << std::hex << static_cast<unsigned long>(hr) << ", expected 0x"
                      << static_cast<unsigned long>(expected) << std::dec << " for " << count << " names"
                      << (names ? "" : " (array null)") << (dispids ? "" : " (DISPIDs null)") << ":" << what.str()
                      << "\n  case seed 0x" << std::hex << caseSeed;
    }
    return ok;
}

}  // namespace quorvex::test
