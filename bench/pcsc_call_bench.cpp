// One PC/SC call through the in-process winscard.dll: SCardGetStatusChangeW
// (time-out 0, no change) on one reader, mean time per call in ns over N
// calls (compare: pcsc-native-waiter calls N, the same call natively).
#include <windows.h>
#include <winscard.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv)
{
    const int n = argc > 1 ? std::atoi(argv[1]) : 2000;
    SCARDCONTEXT context = 0;
    if (SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &context) != SCARD_S_SUCCESS) return 1;
    SCARD_READERSTATEW state{};
    state.szReader = L"Virtual PCD 00 00";
    SCardGetStatusChangeW(context, 0, &state, 1);  // learn the current state: later calls see no change
    state.dwCurrentState = state.dwEventState;
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < n; ++i) SCardGetStatusChangeW(context, 0, &state, 1);
    const auto ns =
        std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() - start).count();
    std::printf("%lld\n", static_cast<long long>(ns / n));
    SCardReleaseContext(context);
    return 0;
}
