// The in-process winscard.dll's translations between pcsc-lite and Windows
// and the card database's matching rules, table-driven.
#include <cstdio>
#include <vector>

#include "../atr_match.h"
#include "../translation.h"

using namespace lite;

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

    // pcsc-lite's 64-bit results are Windows' 32-bit codes.
    const struct {
        int64_t lite;
        int32_t windows;
    } results[] = {
        {0, 0}, {0x80100002LL, static_cast<int32_t>(0x80100002u)}, {0x8010001DLL, static_cast<int32_t>(0x8010001Du)}};
    for (int i = 0; const auto& r : results) Check(WindowsResult(r.lite) == r.windows, "result code", i++);

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

    // The more specific of two matching entries pins down more bits.
    const struct {
        std::vector<uint8_t> mask;
        bool masked;
        unsigned bits;
    } specific[] = {{{}, false, 32}, {{0xFF, 0xFF, 0xFF, 0x00}, true, 24}, {{0xFF, 0xF0, 0x0F, 0x00}, true, 16}};
    for (int i = 0; const auto& s : specific)
        Check(AtrSpecificity(4, s.masked ? s.mask.data() : nullptr) == s.bits, "specificity", i++);

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

    std::printf(g_failures ? "%d failures\n" : "all passed\n", g_failures);
    return g_failures ? 1 : 0;
}
