// The bridge's translations and the card database's matching rule, table-driven.
#include <cstdio>
#include <vector>

#include "../wire.h"

using namespace pcscbridge;

namespace {
int g_failures = 0;
void Check(bool ok, const char* what, int row)
{
    if (!ok) {
        std::printf("FAILED: %s (row %d)\n", what, row);
        ++g_failures;
    }
}
}  // namespace

int main()
{
    // pcsc-lite state masks -> Windows values (0x34 is what a connected virtual card shows).
    const struct {
        uint64_t lite;
        uint32_t windows;
    } states[] = {{0x0001, 0}, {0x0002, 1}, {0x0004, 2},     {0x0008, 3}, {0x0014, 4},
                  {0x0034, 5}, {0x0074, 6}, {0x00690034, 5}, {0, 0}};
    for (int i = 0; const auto& s : states) Check(WindowsCardState(s.lite) == s.windows, "card state", i++);

    const struct {
        uint64_t lite;
        uint32_t windows;
    } protocols[] = {{0, 0}, {1, 1}, {2, 2}, {3, 3}, {4, 0x10000}, {8, 8}, {6, 0x10002}};
    for (int i = 0; const auto& p : protocols) {
        Check(WindowsProtocol(p.lite) == p.windows, "protocol to Windows", i);
        Check(LiteProtocol(p.windows) == p.lite, "protocol to pcsc-lite", i++);
    }

    // ATR AND mask, as Windows matches its card database.
    const std::vector<uint8_t> atr{0x3B, 0x02, 0x14, 0x50};
    const struct {
        std::vector<uint8_t> stored, mask;
        bool masked, match;
    } rows[] = {
        {{0x3B, 0x02, 0x14, 0x50}, {}, false, true},
        {{0x3B, 0x02, 0x14, 0x51}, {}, false, false},
        {{0x3B, 0x02, 0x14, 0x00}, {0xFF, 0xFF, 0xFF, 0x00}, true, true},
        {{0x3B, 0x02, 0x14, 0x00}, {0xFF, 0xFF, 0xFF, 0xF0}, true, false},
        {{0x3B, 0x02, 0x14}, {}, false, false},                       // shorter entry
        {{0x3B, 0x02, 0x14, 0x50}, {0xFF, 0xFF, 0xFF}, true, false},  // mask of another length
        {{0x3B, 0x02, 0x14, 0x50, 0x00}, {0xFF, 0xFF, 0xFF, 0xFF, 0x00}, true, false},
    };
    for (int i = 0; const auto& r : rows)
        Check(AtrMatches(atr.data(), atr.size(), r.stored.data(), r.stored.size(), r.masked ? r.mask.data() : nullptr,
                         r.mask.size()) == r.match,
              "ATR match", i++);

    // ATR length from its structure (SCardListCards gets no length).
    const struct {
        std::vector<uint8_t> atr;
        size_t length;
    } lengths[] = {
        {{0x3B, 0x02, 0x14, 0x50, 0xAA, 0xAA}, 4},
        {{0x3B, 0x80, 0x80, 0x01, 0x01}, 5},  // TD1 T=0, TD2 T=1 -> TCK
        {{0x3B, 0x8F, 0x80, 0x01}, 0},        // cut short
        {{0x00, 0x02, 0x14, 0x50}, 0},        // no TS
    };
    for (int i = 0; const auto& l : lengths)
        Check(AtrLength(l.atr.data(), l.atr.size()) == l.length, "ATR length", i++);

    // Fixed field layout: what both compilers must agree on.
    RequestHeader rq{kMagic, static_cast<uint32_t>(Op::GetStatusChange), 7, 0, 100, 2, 0, 0};
    std::vector<uint8_t> bytes;
    Put(bytes, rq);
    Check(bytes.size() == 32 && bytes[0] == 0x31 && bytes[4] == 6 && bytes[8] == 7 && bytes[16] == 100, "header layout",
          0);
    Put(bytes, StateIn{0x00690022, 3});
    PutBytes(bytes, "abc", 3);
    Reader in(bytes.data() + 32, bytes.size() - 32);
    StateIn s{};
    std::string name;
    Check(in.Get(s) && s.currentState == 0x00690022 && in.GetBytes(name, s.nameLength) && name == "abc", "state in", 0);
    Check(!in.Get(s), "reads stop at the end", 0);

    std::printf(g_failures ? "%d failures\n" : "all passed\n", g_failures);
    return g_failures ? 1 : 0;
}
