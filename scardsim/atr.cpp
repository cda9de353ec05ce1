// ATR parsing (ISO/IEC 7816-3): the card database matches ATRs by their own
// length, as the platform does, and connections negotiate the protocols the
// card offers.
#include "service.h"

#include "atr.h"

namespace scardsim {

std::optional<AtrInfo> ParseAtr(const BYTE* atr, DWORD available)
{
    if (!atr || available < 2) return std::nullopt;
    if (atr[0] != 0x3B && atr[0] != 0x3F) return std::nullopt;  // TS: direct or inverse convention
    AtrInfo info;
    BYTE indicator = atr[1] >> 4;  // which of TA, TB, TC, TD follow
    const DWORD historical = atr[1] & 0x0F;
    DWORD position = 2;
    bool checksum = false;
    for (;;) {
        position += (indicator & 1) + ((indicator >> 1) & 1) + ((indicator >> 2) & 1);
        if (!(indicator & 8)) break;
        if (position >= available) return std::nullopt;
        const BYTE td = atr[position++];
        const BYTE protocol = td & 0x0F;
        if (protocol == 0) info.protocols |= SCARD_PROTOCOL_T0;
        if (protocol == 1) info.protocols |= SCARD_PROTOCOL_T1;
        // Any indication other than T=0 makes the check byte TCK mandatory.
        if (protocol != 0) checksum = true;
        indicator = td >> 4;
    }
    // Without TD1 (or with only global indications) the card speaks T=0.
    if (info.protocols == 0) info.protocols = SCARD_PROTOCOL_T0;
    info.length = position + historical + (checksum ? 1 : 0);
    if (info.length > available) return std::nullopt;
    return info;
}

}  // namespace scardsim
