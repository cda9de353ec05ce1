// Lets the compiler check the arguments of the record functions against their
// format (the platform's printf conventions); nothing for other compilers.
// clang applies the Windows conventions to "printf" on mingw targets; GCC
// needs "ms_printf" for them.
#pragma once

#if defined(__clang__)
#define QV_PRINTF_LIKE(fmt, args) __attribute__((format(printf, fmt, args)))
#elif defined(__GNUC__)
#define QV_PRINTF_LIKE(fmt, args) __attribute__((format(ms_printf, fmt, args)))
#else
#define QV_PRINTF_LIKE(fmt, args)
#endif
