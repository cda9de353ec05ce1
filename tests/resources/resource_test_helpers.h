// Helpers of the resource tests: the built sample libraries, the module's
// resource instance, and runs of this test program in another user locale.
#pragma once

#include <windows.h>

#include <map>
#include <string>
#include <vector>

namespace quorvex::test {

// Full path of a library built into the build's resource_libraries folder
// ("VestrelRes_en" -> "...\resource_libraries\VestrelRes_en.dll").
std::wstring BuiltResourceLibrary(const wchar_t* name);

// Loads a built library by full path for the life of the process (the
// product never unloads one either); fails the test when it cannot.
HMODULE LoadBuiltResourceLibrary(const wchar_t* name);

// Installs `instance` as the module's resource instance and puts the previous
// one back at the end of the test.
class ScopedResourceInstance {
public:
    explicit ScopedResourceInstance(HMODULE instance) noexcept;
    ~ScopedResourceInstance();
    ScopedResourceInstance(const ScopedResourceInstance&) = delete;
    ScopedResourceInstance& operator=(const ScopedResourceInstance&) = delete;

private:
    HMODULE previous_;
};

std::string ToUtf8(std::wstring_view text);

// What a child run reported: its "key=value" lines and the messages of the
// located records that the resource library loader wrote at log level 3.
struct ChildReport {
    bool finished = false;
    std::map<std::string, std::string> values;
    std::vector<std::string> loaderRecords;
    std::string log;  // the whole log, for failure messages
};

// Runs this test program's child entry (ResourceLocaleChild.Run) as a new
// process whose user locale comes from the Unix locale `unixLocale`
// (e.g. "zh_TW.UTF-8"). The child runs from a private folder holding a copy
// of this program and exactly the `libraries` named, so the platform's
// library search finds those and nothing else. `action` selects the child's
// work: "load" or "construct".
ChildReport RunInLocale(const char* unixLocale, const std::vector<std::wstring>& libraries, const char* action);

}  // namespace quorvex::test
