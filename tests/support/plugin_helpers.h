// Creating a plug-in object in-process (the product code is linked into the
// test program) and subscribing a sink to its events.
#pragma once

#include <windows.h>
#include <ocidl.h>

#include "quorvex_h.h"
#include "win/com_ptr.h"

#include "support/plugin_inspector.h"

namespace quorvex::test {

// A stand-alone CSmartCardAuthPlugin; null (and a test failure) when creation fails.
ComPtr<IPkiAuthenticationPlugin> CreatePlugin();
// The state behind an interface pointer from CreatePlugin (tests call its
// SendStatusChanged and Fire* routines directly).
PluginInspector PluginObject(IPkiAuthenticationPlugin* plugin);

// Advise on the object's event connection point (the event DIID). Returns the
// HRESULT of FindConnectionPoint or Advise; *cookie gets Advise's cookie.
HRESULT AdviseEvents(IUnknown* plugin, IUnknown* sink, DWORD* cookie);
// The matching Unadvise.
HRESULT UnadviseEvents(IUnknown* plugin, DWORD cookie);

// The object's connection point for `iid` (null when there is none).
ComPtr<IConnectionPoint> FindConnectionPoint(IUnknown* plugin, REFIID iid);

}  // namespace quorvex::test
