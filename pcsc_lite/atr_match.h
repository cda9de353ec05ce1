// Windows' card database rules: how long an ATR is, whether a registered card
// type matches it, and which of several matching types is the more specific.
#pragma once

#include <cstddef>
#include <cstdint>

namespace lite {

// A card type matches when the card's ATR has the stored length and (ATR AND
// mask) equals (stored ATR AND mask); no mask means every bit counts.
inline bool AtrMatches(const uint8_t* atr, size_t atrLength, const uint8_t* stored, size_t storedLength,
                       const uint8_t* mask, size_t maskLength)
{
    if (atrLength != storedLength || storedLength == 0) return false;
    if (mask && maskLength != storedLength) return false;
    for (size_t i = 0; i < atrLength; ++i) {
        const uint8_t m = mask ? mask[i] : 0xFF;
        if ((atr[i] & m) != (stored[i] & m)) return false;
    }
    return true;
}

// The number of ATR bits a card type pins down. Where a general pattern
// (wildcards) and a specific one both match, the card is the specific one.
inline unsigned AtrSpecificity(size_t storedLength, const uint8_t* mask)
{
    unsigned bits = 0;
    for (size_t i = 0; i < storedLength; ++i)
        for (uint8_t m = mask ? mask[i] : 0xFF; m; m &= static_cast<uint8_t>(m - 1)) ++bits;
    return bits;
}

// Length of a well-formed ATR (ISO/IEC 7816-3) read from its own structure,
// 0 when `available` bytes hold none: SCardListCards gets no length.
inline size_t AtrLength(const uint8_t* atr, size_t available)
{
    if (!atr || available < 2 || (atr[0] != 0x3B && atr[0] != 0x3F)) return 0;
    uint8_t indicator = atr[1] >> 4;
    const size_t historical = atr[1] & 0x0F;
    size_t position = 2;
    bool checksum = false;
    for (;;) {
        position += (indicator & 1) + ((indicator >> 1) & 1) + ((indicator >> 2) & 1);
        if (!(indicator & 8)) break;
        if (position >= available) return 0;
        const uint8_t td = atr[position++];
        if ((td & 0x0F) != 0) checksum = true;  // anything but T=0 makes TCK mandatory
        indicator = td >> 4;
    }
    const size_t length = position + historical + (checksum ? 1 : 0);
    return length <= available ? length : 0;
}

}  // namespace lite
