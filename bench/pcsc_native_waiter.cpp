// The native reference for the pcsc benchmark: waits with pcsc-lite's
// SCardGetStatusChange (100 ms waits, as the plug-in) for a card in the
// reader and prints the CLOCK_REALTIME time in ns (the script's clock) at which it saw it.
// With "calls N" it times N SCardGetStatusChange (time-out 0) round trips to pcscd instead.
//   pcsc-native-waiter "Virtual PCD 00 00" | pcsc-native-waiter calls N
#include <winscard.h>

#include <time.h>

#include <cstdio>
#include <cstdlib>
#include <string>

static long long Now()
{
    timespec t;
    clock_gettime(CLOCK_REALTIME, &t);
    return t.tv_sec * 1000000000LL + t.tv_nsec;
}

int main(int argc, char** argv)
{
    SCARDCONTEXT context = 0;
    if (SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &context) != SCARD_S_SUCCESS) return 1;
    if (argc > 2 && std::string(argv[1]) == "calls") {
        const int n = std::atoi(argv[2]);
        SCARD_READERSTATE state{};
        state.szReader = "Virtual PCD 00 00";
        SCardGetStatusChange(context, 0, &state, 1);
        state.dwCurrentState = state.dwEventState;
        const long long start = Now();
        for (int i = 0; i < n; ++i) SCardGetStatusChange(context, 0, &state, 1);
        std::printf("%lld\n", (Now() - start) / n);
    } else if (argc > 1) {
        SCARD_READERSTATE state{};
        state.szReader = argv[1];
        state.dwCurrentState = SCARD_STATE_UNAWARE;
        SCardGetStatusChange(context, 0, &state, 1);
        state.dwCurrentState = state.dwEventState;
        std::printf("ready\n");
        std::fflush(stdout);
        for (;;) {
            const LONG rc = SCardGetStatusChange(context, 100, &state, 1);
            if (rc == SCARD_S_SUCCESS) {
                if (state.dwEventState & SCARD_STATE_PRESENT) break;
                state.dwCurrentState = state.dwEventState;
            } else if (rc != SCARD_E_TIMEOUT) {
                return 1;
            }
        }
        std::printf("%lld\n", Now());
    }
    SCardReleaseContext(context);
    return 0;
}
