// Invoke: the fixed dispatcher over the six methods of IPkiAuthenticationPlugin.
#include "plugin/argument_coercion.h"
#include "plugin/automation.h"
#include "plugin/dispids.h"
#include "win/unique_bstr.h"

namespace quorvex {
namespace {

constexpr UINT kMaxArguments = 4;

enum class ParamType { Bstr, Long, StatusString };
enum class ResultType { Long, Bstr };

struct Param {
    UINT index;  // position in rgvarg (0 = last parameter) and the argument-error index
    ParamType type;
};

struct MethodEntry {
    DISPID dispid;
    UINT argumentCount;
    Param params[3];  // in the order in which the arguments are examined
    ResultType result;
};

constexpr MethodEntry kDispatchTable[] = {
    {kDispidOpenDevice, 1, {{0, ParamType::Bstr}}, ResultType::Long},
    {kDispidStartCapture, 3, {{2, ParamType::Bstr}, {1, ParamType::Bstr}, {0, ParamType::Bstr}}, ResultType::Long},
    {kDispidEndCapture, 0, {}, ResultType::Long},
    {kDispidGetDeviceID, 1, {{0, ParamType::Long}}, ResultType::Bstr},
    {kDispidGetDeviceCount, 2, {{1, ParamType::Bstr}, {0, ParamType::Bstr}}, ResultType::Long},
    {kDispidGetStatusString, 2, {{1, ParamType::Long}, {0, ParamType::StatusString}}, ResultType::Long},
};

// The values handed to the method, filled by coercion.
struct Arguments {
    BSTR strings[3] = {};
    LONG number = 0;
    BSTR* statusString = nullptr;
};

// Where the method's text goes: a BSTR or a VARIANT by reference. Anything
// else is refused, because its value field would be written through without
// knowing what it points to.
bool IsStatusStringPlace(const VARIANT& argument) noexcept
{
    return (V_VT(&argument) == (VT_BYREF | VT_BSTR) && V_BSTRREF(&argument)) ||
           (V_VT(&argument) == (VT_BYREF | VT_VARIANT) && V_VARIANTREF(&argument));
}

// A VARIANT by reference becomes a VT_BSTR that receives the text.
BSTR* TakeStatusStringPlace(VARIANT& argument) noexcept
{
    if (V_VT(&argument) == (VT_BYREF | VT_BSTR)) return V_BSTRREF(&argument);
    VARIANT* referred = V_VARIANTREF(&argument);
    ::VariantClear(referred);
    V_VT(referred) = VT_BSTR;
    V_BSTR(referred) = nullptr;
    return &V_BSTR(referred);
}

bool NamedArgumentsAccepted(const DISPPARAMS& params) noexcept
{
    if (params.cNamedArgs == 0) return true;
    // A property-put call names its one argument; it is taken as positional.
    // A name with no argument behind it names nothing: refused, not ignored.
    return params.cNamedArgs == 1 && params.cArgs >= 1 && params.rgdispidNamedArgs &&
           params.rgdispidNamedArgs[0] == DISPID_PROPERTYPUT;
}

HRESULT CallMethod(IPkiAuthenticationPlugin* target, DISPID dispid, const Arguments& a, LONG* number,
                   UniqueBstr& text) noexcept
{
    switch (dispid) {
    case kDispidOpenDevice: return target->OpenDevice(a.strings[0], number);
    case kDispidStartCapture: return target->StartCapture(a.strings[0], a.strings[1], a.strings[2], number);
    case kDispidEndCapture: return target->EndCapture(number);
    case kDispidGetDeviceID: return target->GetDeviceID(a.number, text.put());
    case kDispidGetDeviceCount: return target->GetDeviceCount(a.strings[0], a.strings[1], number);
    case kDispidGetStatusString: return target->GetStatusString(a.number, a.statusString, number);
    default: return DISP_E_MEMBERNOTFOUND;
    }
}

}  // namespace

HRESULT InvokePluginMethod(IPkiAuthenticationPlugin* target, DISPID dispid, DISPPARAMS* params, VARIANT* result,
                           UINT* argumentError) noexcept
{
    if (!params) return DISP_E_BADVARTYPE;
    if (params->cArgs > kMaxArguments) return DISP_E_BADPARAMCOUNT;
    if (result) ::VariantInit(result);
    if (!NamedArgumentsAccepted(*params)) return DISP_E_NONAMEDARGS;

    const MethodEntry* method = nullptr;
    for (const MethodEntry& entry : kDispatchTable) {
        if (entry.dispid == dispid) method = &entry;
    }
    if (!method) return DISP_E_MEMBERNOTFOUND;
    if (params->cArgs != method->argumentCount) return DISP_E_BADPARAMCOUNT;
    if (params->cArgs > 0 && !params->rgvarg) return DISP_E_BADVARTYPE;
    if (!target) return E_POINTER;

    // Every argument is fitted before any is changed: a misfit leaves the
    // caller's arguments, earlier ones included, as they were.
    FittedArgument fitted[3];
    for (UINT i = 0; i < method->argumentCount; ++i) {
        const Param& param = method->params[i];
        VARIANT& argument = params->rgvarg[param.index];
        bool fits = false;
        switch (param.type) {
        case ParamType::Bstr: fits = fitted[i].FitBstr(argument); break;
        case ParamType::Long: fits = fitted[i].FitLong(argument); break;
        case ParamType::StatusString: fits = IsStatusStringPlace(argument); break;
        }
        if (!fits) {
            if (argumentError) *argumentError = param.index;
            return DISP_E_TYPEMISMATCH;
        }
    }
    for (FittedArgument& argument : fitted) argument.Commit();

    Arguments arguments;
    UINT nextString = 0;
    for (UINT i = 0; i < method->argumentCount; ++i) {
        const Param& param = method->params[i];
        switch (param.type) {
        case ParamType::Bstr: arguments.strings[nextString++] = fitted[i].bstr(); break;
        case ParamType::Long: arguments.number = fitted[i].number(); break;
        case ParamType::StatusString:
            arguments.statusString = TakeStatusStringPlace(params->rgvarg[param.index]);
            break;
        }
    }

    LONG number = 0;
    UniqueBstr text;
    const HRESULT hr = CallMethod(target, dispid, arguments, &number, text);

    // Written whether or not the method succeeded: GetDeviceID hands out its
    // error text together with E_FAIL.
    if (result) {
        if (method->result == ResultType::Bstr) {
            V_VT(result) = VT_BSTR;
            V_BSTR(result) = text.release();
        } else {
            V_VT(result) = VT_I4;
            V_I4(result) = number;
        }
    }
    return hr;
}

}  // namespace quorvex
