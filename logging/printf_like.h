// Lets GCC check the arguments of the record functions against their format
// (the platform's printf conventions); nothing for other compilers.
#pragma once

#if defined(__GNUC__)
#define QV_PRINTF_LIKE(fmt, args) __attribute__((format(ms_printf, fmt, args)))
#else
#define QV_PRINTF_LIKE(fmt, args)
#endif
