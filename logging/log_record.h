// Record operations. None of them tests the level (callers do, see log.h);
// each returns true when a line was written.
#pragma once

#include "logging/printf_like.h"
#include "logging/trace_scope.h"

namespace quorvex {

bool LogPlain(const char* format, ...) QV_PRINTF_LIKE(1, 2);
bool LogLocated(TraceScope& scope, const char* format, ...) QV_PRINTF_LIKE(2, 3);
bool TraceEnter(TraceScope& scope, const char* format, ...) QV_PRINTF_LIKE(2, 3);
bool TraceReturn(TraceScope& scope, const char* format, ...) QV_PRINTF_LIKE(2, 3);
// Debugger output only: no prefix, no indentation, no added line end.
bool LogDebugOnly(const char* format, ...) QV_PRINTF_LIKE(1, 2);
// Closes an open log file at module unload; standard-output mode stays.
void CloseLog();

}  // namespace quorvex
