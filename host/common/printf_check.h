#pragma once
// Compile-time checking of printf-style formats. The Windows build uses the
// MinGW ANSI stdio (%zu, %lld, %llu behave as on Linux).

#if defined(__MINGW32__)
#define ORVANE_PRINTF(fmt_index, first_arg) __attribute__((format(gnu_printf, fmt_index, first_arg)))
#else
#define ORVANE_PRINTF(fmt_index, first_arg) __attribute__((format(printf, fmt_index, first_arg)))
#endif
