// The diagnostic log as callers use it: level tests, located and plain
// records, routine trace scopes.
//
// A record below the current level must cost one comparison, so the level test
// stands in the caller (the macros below) and nothing is formatted unless the
// level is reached.
//
// Located records name a source file. It is the base name of __FILE__ unless a
// source file defines QV_LOG_SOURCE as its very first line, for example
//   #define QV_LOG_SOURCE "SmartCardAuthPlugin.cpp"
// so that records keep the source module names that support staff know.
#pragma once

#include "logging/log_level.h"
#include "logging/log_record.h"
#include "logging/trace_scope.h"

#ifndef QV_LOG_SOURCE
#define QV_LOG_SOURCE __FILE__
#endif

// Located record of level `level` through `scope`: QV_LOG(1, scope, "*** x: 0x%X", hr);
#define QV_LOG(level, scope, ...)                                                                              \
    do {                                                                                                       \
        if (::quorvex::LogLevelReached(level))                                                                 \
            ::quorvex::LogLocated(::quorvex::SetTracePosition((scope), QV_LOG_SOURCE, __LINE__), __VA_ARGS__); \
    } while (0)

// Plain record (no source position) of level `level`.
#define QV_LOG_PLAIN(level, ...)                                                 \
    do {                                                                         \
        if (::quorvex::LogLevelReached(level)) ::quorvex::LogPlain(__VA_ARGS__); \
    } while (0)

// Entry record of a traced routine, written at level 3 and above.
#define QV_TRACE_ENTER(scope, ...)                                                                             \
    do {                                                                                                       \
        if (::quorvex::LogLevelReached(3))                                                                     \
            ::quorvex::TraceEnter(::quorvex::SetTracePosition((scope), QV_LOG_SOURCE, __LINE__), __VA_ARGS__); \
    } while (0)

// Explicit exit record with a result text, written at level 3 and above.
#define QV_TRACE_RETURN(scope, ...)                                                      \
    do {                                                                                 \
        if (::quorvex::LogLevelReached(3)) ::quorvex::TraceReturn((scope), __VA_ARGS__); \
    } while (0)
