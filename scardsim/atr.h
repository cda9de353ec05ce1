// Structure of an answer-to-reset: how long it is and which protocols it offers.
#pragma once

#include <windows.h>

#include <optional>

namespace scardsim {

struct AtrInfo {
    DWORD length = 0;     // TS through TCK
    DWORD protocols = 0;  // SCARD_PROTOCOL_T0 and/or SCARD_PROTOCOL_T1
};

// Reads at most `available` bytes; nothing when they do not hold a complete,
// well-formed ATR.
std::optional<AtrInfo> ParseAtr(const BYTE* atr, DWORD available);

}  // namespace scardsim
