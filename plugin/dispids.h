// The DISPIDs of the plug-in's methods and events as the type library
// (module/quorvex.idl) numbers them: the dispatcher, the name table, the event
// raising and the host's sink all take them from here, and a test holds them
// against the built library.
#pragma once

#include <windows.h>
#include <oaidl.h>

namespace quorvex {

// IPkiAuthenticationPlugin
enum MethodDispid : DISPID {
    kDispidOpenDevice = 1,
    kDispidStartCapture = 2,
    kDispidEndCapture = 3,
    kDispidGetDeviceID = 4,
    kDispidGetDeviceCount = 5,
    kDispidGetStatusString = 6,
};

// _IPkiAuthenticationPluginEvents
enum EventDispid : DISPID {
    kDispidStatusChanged = 1,
    kDispidDataReady = 2,
    kDispidFailed = 3,
};

}  // namespace quorvex
