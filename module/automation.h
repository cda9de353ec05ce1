// Forwarding header: the automation helpers live in plugin/automation.h. Goes
// when the last includer has switched.
#pragma once

#include "plugin/automation.h"
