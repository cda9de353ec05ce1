// The status ids the plug-in reports: StatusChanged carries them with their
// category added (SendStatusChanged), Failed carries them bare. Their texts
// live in the resource library's string table under the same numbers. At the
// bottom of the folders because the card watch raises them, the resource
// lookup reads their texts and the plug-in sends them.
#pragma once

#include <windows.h>

namespace quorvex::status {

inline constexpr LONG kCardIdentified = 197;     // trace records only, never an event
inline constexpr LONG kUnknownStatus = 198;      // text shown for an id without one
inline constexpr LONG kCaptureStarted = 204;     // StatusChanged 0x20CC
inline constexpr LONG kServiceMissing = 208;     // Failed
inline constexpr LONG kCardRemoved = 209;        // StatusChanged 0x20D1, the watch goes on
inline constexpr LONG kUnknownCard = 210;        // Failed
inline constexpr LONG kNoReaderSelected = 211;   // Failed
inline constexpr LONG kEmptyReaderName = 212;    // Failed
inline constexpr LONG kConnectFailed = 213;      // Failed
inline constexpr LONG kContextFailed = 214;      // Failed
inline constexpr LONG kCardListFailed = 215;     // Failed
inline constexpr LONG kCardStatusFailed = 216;   // Failed
inline constexpr LONG kCaptureNotStarted = 217;  // StatusChanged 0x40D9
inline constexpr LONG kWaitFailed = 218;         // Failed
inline constexpr LONG kCardUnresponsive = 219;   // StatusChanged 0x50DB, the watch goes on
inline constexpr LONG kCardUnsupported = 220;    // StatusChanged 0x50DC, the watch goes on
inline constexpr LONG kReaderUnavailable = 221;  // has a category (0x7000) although nothing reports it
inline constexpr LONG kUnknownCardNotice = 222;  // StatusChanged 0x80DE after Failed(210)

}  // namespace quorvex::status
