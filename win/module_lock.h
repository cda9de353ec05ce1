// The module's instance handle and its lock count: the two pieces of module
// state that objects at every layer need, kept here so that none of them has
// to include module/.
#pragma once

#include <windows.h>

#include <atomic>

extern "C" IMAGE_DOS_HEADER __ImageBase;

namespace quorvex {

// The module's own instance handle (the DLL, or the test program when the
// product code is linked into one).
inline HMODULE ModuleHandle() noexcept { return reinterpret_cast<HMODULE>(&__ImageBase); }

// Constant-initialised: objects may take a lock during static initialisation.
inline constinit std::atomic<LONG> g_moduleLockCount{0};

// Lock count: one lock per live plug-in object, one for all outside references
// to a class object, one per LockServer(TRUE) and one per running capture
// worker. Not clamped at 0.
inline LONG ModuleLock() noexcept { return ++g_moduleLockCount; }
inline LONG ModuleUnlock() noexcept { return --g_moduleLockCount; }
inline LONG ModuleLockCount() noexcept { return g_moduleLockCount.load(); }

// One module lock, given back when the holder ends unless it was handed on.
class ModuleLockHold {
public:
    ModuleLockHold() noexcept { ModuleLock(); }
    ~ModuleLockHold()
    {
        if (held_) ModuleUnlock();
    }
    ModuleLockHold(const ModuleLockHold&) = delete;
    ModuleLockHold& operator=(const ModuleLockHold&) = delete;

    // Whoever called this gives the lock back with ModuleUnlock.
    void HandOn() noexcept { held_ = false; }

private:
    bool held_ = true;
};

}  // namespace quorvex
