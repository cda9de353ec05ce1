// One forwarded PC/SC call: SCardIsValidContext round trips through the
// bridge, mean time per call in ns (compare: pcsc-native-waiter calls N).
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
    SCardIsValidContext(context);  // the pooled connection is open from here on
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < n; ++i) SCardIsValidContext(context);
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() - start).count();
    std::printf("%lld\n", static_cast<long long>(ns / n));
    SCardReleaseContext(context);
    return 0;
}
