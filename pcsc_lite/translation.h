// Where pcsc-lite and Windows give the same thing different numbers. Pure
// functions on fixed-width values, so both halves and the native tests can
// use them.
#pragma once

#include <cstdint>

namespace lite {

// pcsc-lite reports a card's state as a bit mask (SCARD_PRESENT 0x04 |
// SCARD_POWERED 0x10 ...); Windows reports one value, the highest state reached.
inline uint32_t WindowsCardState(uint64_t liteMask)
{
    const uint32_t mask = static_cast<uint32_t>(liteMask & 0xFFFF);
    if (mask & 0x40) return 6;  // SCARD_SPECIFIC
    if (mask & 0x20) return 5;  // SCARD_NEGOTIABLE
    if (mask & 0x10) return 4;  // SCARD_POWERED
    if (mask & 0x08) return 3;  // SCARD_SWALLOWED
    if (mask & 0x04) return 2;  // SCARD_PRESENT
    if (mask & 0x02) return 1;  // SCARD_ABSENT
    return 0;                   // SCARD_UNKNOWN
}

// Protocol masks: RAW is 4 in pcsc-lite and 0x10000 on Windows; T0, T1, T15 agree.
constexpr uint32_t kLiteRaw = 0x4, kWindowsRaw = 0x10000;

inline uint32_t WindowsProtocol(uint64_t lite)
{
    uint32_t p = static_cast<uint32_t>(lite) & ~kLiteRaw;
    if (lite & kLiteRaw) p |= kWindowsRaw;
    return p;
}

inline uint64_t LiteProtocol(uint32_t windows)
{
    uint64_t p = windows & ~kWindowsRaw & ~kLiteRaw;
    if (windows & kWindowsRaw) p |= kLiteRaw;
    return p;
}

// pcsc-lite's LONG is 64 bits wide, its values are Windows' 32-bit codes.
inline int32_t WindowsResult(int64_t liteResult) { return static_cast<int32_t>(static_cast<uint32_t>(liteResult)); }

}  // namespace lite
