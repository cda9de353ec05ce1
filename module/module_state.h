// Forwarding header: the module lock and handle live in win/module_lock.h, the
// conversion code page in win/conversion_code_page.h, the resource instance in
// resources/resource_instance.h. Goes when the last includer has switched.
#pragma once

#include "resources/resource_instance.h"
#include "win/conversion_code_page.h"
#include "win/module_lock.h"
