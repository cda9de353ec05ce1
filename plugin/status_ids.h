// Forwarding header: the status ids live in win/status_ids.h. Goes when the
// last includer has switched.
#pragma once

#include "win/status_ids.h"
