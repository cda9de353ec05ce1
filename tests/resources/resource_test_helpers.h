// Helpers of the resource tests: the built sample libraries and the module's
// resource instance.
#pragma once

#include <windows.h>

#include <string>

#include "resources/resource_instance.h"
#include "win/module_lock.h"

namespace quorvex::test {

// Full path of a library built into the build's resource_libraries folder
// ("VestrelRes_en" -> "...\resource_libraries\VestrelRes_en.dll").
std::wstring BuiltResourceLibrary(const wchar_t* name);

// Loads a built library by full path for the life of the process; fails the
// test when it cannot.
HMODULE LoadBuiltResourceLibrary(const wchar_t* name);

// Installs `instance` as the module's resource instance until the end of the test.
class ScopedResourceInstance {
public:
    explicit ScopedResourceInstance(HMODULE instance) noexcept : previous_(ExchangeResourceInstance(instance)) {}
    ~ScopedResourceInstance() { ExchangeResourceInstance(previous_); }
    ScopedResourceInstance(const ScopedResourceInstance&) = delete;
    ScopedResourceInstance& operator=(const ScopedResourceInstance&) = delete;

private:
    HMODULE previous_;
};

std::string ToUtf8(std::wstring_view text);

}  // namespace quorvex::test
