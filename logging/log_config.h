// Log configuration from the machine's policy key.
#pragma once

#include "logging/policy_value.h"

namespace quorvex {

// Reads the policy values for a recognised module name ("main", "gina",
// "biolsp", any case) and opens the log. Never throws: a log that cannot be
// opened must not stop the module from loading.
void ConfigureLogModule(const char* defaultLogPath, const char* name, int requestedLevel);
// This module's configuration, run once from the DLL's static initialisation:
// "%TAVRIXLOGDIR\Quorvex.txt", "Main", level 0, and CloseLog registered to run
// when the module's static objects are destroyed.
void ConfigureModuleLog();

}  // namespace quorvex
