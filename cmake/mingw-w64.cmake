# Cross-compiles for 64-bit Windows: the portable libraries, platform/win32 and
# the port suites (run under Wine by `make check-windows`).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
# The C99 printf family, so %zu and %llu mean what they mean everywhere else.
add_compile_definitions(__USE_MINGW_ANSI_STDIO=1)
# gcc 12 reports false -Wrestrict overlaps inside std::string's operator+ at
# -O2 and above (its bug 105651); keep the warning but not as an error here.
add_compile_options(-Wno-error=restrict)
