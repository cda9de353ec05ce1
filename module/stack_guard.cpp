// Seeds the guard word of GCC's stack protector (-fstack-protector-strong).
//
// libssp, which supplies the guard, fills it in from a static constructor that
// calls CryptAcquireContext. In a DLL that constructor runs inside DllMain,
// under the loader lock, and CryptAcquireContext loads the crypto provider
// DLLs there: a load inside DllMain, which can deadlock. libssp leaves a guard
// that is already non-zero alone, so this constructor, ordered before every
// default-priority one, fills it first from RtlGenRandom (an import of
// advapi32, resolved with the module's other imports before DllMain) and, if
// that fails, from the clock, the ids and the stack address, as the MSVC
// runtime seeds its /GS cookie. MSVC builds use /GS and need none of this,
// nor do GCC builds without a stack protector.
#if defined(__GNUC__) && (defined(__SSP__) || defined(__SSP_STRONG__) || defined(__SSP_ALL__))

#include <windows.h>

#include <ntsecapi.h>

#include <cstdint>
#include <cstring>

// libssp's guard word; every protected frame compares against it on return.
extern "C" void* __stack_chk_guard;

namespace {

// Not protected itself: it changes the guard its own frame would be checked
// against. Runs before any protected frame is live (only the CRT's start-up
// code, which is not protected, is below it on the stack).
__attribute__((constructor(101), no_stack_protector)) void SeedStackGuard()
{
    if (__stack_chk_guard != nullptr) return;
    std::uintptr_t guard = 0;
    if (!::RtlGenRandom(&guard, sizeof guard) || guard == 0) {
        FILETIME now{};
        ::GetSystemTimeAsFileTime(&now);
        LARGE_INTEGER counter{};
        ::QueryPerformanceCounter(&counter);
        std::uint64_t mix = (static_cast<std::uint64_t>(now.dwHighDateTime) << 32) ^ now.dwLowDateTime ^
                            static_cast<std::uint64_t>(counter.QuadPart) ^ ::GetTickCount64() ^
                            ::GetCurrentProcessId() ^ (static_cast<std::uint64_t>(::GetCurrentThreadId()) << 16) ^
                            reinterpret_cast<std::uintptr_t>(&mix);
        // Both halves count on x86, where the guard has 32 bits.
        guard = static_cast<std::uintptr_t>(mix ^ (mix >> 32));
        if (guard == 0) guard = 0x2B992DDF;
    }
    // The guard's bytes, not a pointer made from an integer.
    std::memcpy(&__stack_chk_guard, &guard, sizeof guard);
}

}  // namespace

#endif
