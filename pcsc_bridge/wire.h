// The bridge's wire format, shared by the forwarding winscard.dll (Windows,
// 4-byte DWORD) and the native helper (pcsc-lite, 8-byte DWORD). Only
// explicit 32-bit fields travel, little-endian as both ends are x86.
//
// Request:  RequestHeader, then `dataLength` bytes.
// Response: ResponseHeader, then `dataLength` bytes.
// Strings are UTF-8; a multi-string is its names, each NUL-terminated, then
// one more NUL. Handles are pcsc-lite's, which are 32-bit values.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace pcscbridge {

constexpr uint32_t kMagic = 0x51504231;  // "QPB1"
constexpr uint16_t kDefaultPort = 35990;
constexpr const char* kPortVariable = "QUORVEX_PCSC_BRIDGE_PORT";
constexpr uint32_t kMaxData = 1u << 20;
constexpr uint32_t kMaxReaderStates = 64;
constexpr uint32_t kWindowsAtrSize = 36;  // SCARD_READERSTATE rgbAtr on Windows (33 in pcsc-lite)

enum class Op : uint32_t {
    EstablishContext = 1,  // a1 scope                       -> v1 context
    ReleaseContext,        // context
    IsValidContext,        // context
    Cancel,                // context
    ListReaders,           // context; data groups (multi)  -> data readers (multi)
    GetStatusChange,       // context, a1 timeout, a2 count; data count x StateIn + names -> count x StateOut
    Connect,               // context, a1 share, a2 protocols; data reader -> v1 card, v2 protocol
    Disconnect,            // card, a1 disposition
    Status,                // card -> v1 state (0-6), v2 protocol; data StatusOut + reader name
    BeginTransaction,      // card
    EndTransaction,        // card, a1 disposition
    Transmit,              // card, a1 protocol; data APDU -> data response
    Counters,              // -> v1 open contexts, v2 open card handles (helper's own count)
    ServiceControl,        // a1 0 stop pcscd, 1 start it (tests only; needs the helper's --control)
};

struct RequestHeader {
    uint32_t magic;
    uint32_t op;
    uint32_t context;
    uint32_t card;
    uint32_t a1, a2, a3;
    uint32_t dataLength;
};

struct ResponseHeader {
    uint32_t magic;
    uint32_t result;  // PC/SC result, cut to the 32 bits Windows has
    uint32_t v1, v2, v3;
    uint32_t dataLength;
};

// One reader-state record on its way to the helper: states, then the name.
struct StateIn {
    uint32_t currentState;
    uint32_t nameLength;  // bytes of the UTF-8 name that follows, no NUL
};

// One reader-state record on its way back.
struct StateOut {
    uint32_t eventState;  // event counter in the high word, flags in the low word
    uint32_t atrLength;
    uint8_t atr[kWindowsAtrSize];
};

struct StatusOut {
    uint32_t atrLength;
    uint8_t atr[kWindowsAtrSize];
};

static_assert(sizeof(RequestHeader) == 32 && sizeof(ResponseHeader) == 24, "fixed wire layout");
static_assert(sizeof(StateIn) == 8 && sizeof(StateOut) == 44 && sizeof(StatusOut) == 40, "fixed wire layout");

// Appends a plain value or bytes to a message body.
template <typename T>
void Put(std::vector<uint8_t>& out, const T& value)
{
    const auto* p = reinterpret_cast<const uint8_t*>(&value);
    out.insert(out.end(), p, p + sizeof(T));
}
inline void PutBytes(std::vector<uint8_t>& out, const void* data, size_t length)
{
    const auto* p = static_cast<const uint8_t*>(data);
    out.insert(out.end(), p, p + length);
}

// Reads a message body front to back; every read checks the remaining length.
class Reader {
public:
    Reader(const uint8_t* data, size_t length) : data_(data), left_(length) {}
    template <typename T>
    bool Get(T& value)
    {
        if (left_ < sizeof(T)) return false;
        std::memcpy(&value, data_, sizeof(T));
        data_ += sizeof(T);
        left_ -= sizeof(T);
        return true;
    }
    bool GetBytes(std::string& out, size_t length)
    {
        if (left_ < length) return false;
        out.assign(reinterpret_cast<const char*>(data_), length);
        data_ += length;
        left_ -= length;
        return true;
    }
    size_t left() const { return left_; }

private:
    const uint8_t* data_;
    size_t left_;
};

// pcsc-lite's card state is a bit mask (SCARD_PRESENT 0x04 | SCARD_POWERED
// 0x10 ...); Windows reports one value, the highest state reached.
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

// Windows' card database rule: a card type matches when the card's ATR has
// the stored length and (ATR AND mask) equals (stored ATR AND mask); no
// mask means every bit counts.
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

}  // namespace pcscbridge
