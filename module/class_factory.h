// The class object (IClassFactory) of the module's one creatable class.
#pragma once

#include <windows.h>
#include <unknwn.h>

namespace quorvex {

// Makes a plug-in object, stand-alone (outer null) or aggregated.
using InstanceCreator = HRESULT (*)(IUnknown* outer, REFIID iid, void** out);

// Creates a class object bound to `creator` and asks it for `iid`.
HRESULT CreateClassObject(InstanceCreator creator, REFIID iid, void** out) noexcept;

}  // namespace quorvex
