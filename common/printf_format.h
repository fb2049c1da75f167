// Lets the compiler check printf-style format strings against their
// arguments. On mingw-w64 the C99 printf (with %zu, %llu) is used and checked.
#pragma once

#if defined(__MINGW32__)
#define SORVANE_PRINTF(fmt_index, first_arg) __attribute__((format(gnu_printf, fmt_index, first_arg)))
#elif defined(__GNUC__)
#define SORVANE_PRINTF(fmt_index, first_arg) __attribute__((format(printf, fmt_index, first_arg)))
#else
#define SORVANE_PRINTF(fmt_index, first_arg)
#endif
