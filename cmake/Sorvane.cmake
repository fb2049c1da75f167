# Shared build rules: warnings, sanitizers and the helpers every folder uses.

if(CMAKE_CXX_COMPILER_ID MATCHES "GNU|Clang")
  add_compile_options(-Wall -Wextra -Wpedantic -Werror -Wshadow -Wnon-virtual-dtor
                      -Wformat=2 -Wcast-align -Wnull-dereference -Wimplicit-fallthrough)
endif()

find_program(SORVANE_CCACHE ccache)
if(SORVANE_CCACHE)
  set(CMAKE_CXX_COMPILER_LAUNCHER ${SORVANE_CCACHE})
  set(CMAKE_C_COMPILER_LAUNCHER ${SORVANE_CCACHE})
endif()

if(SORVANE_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
    message(FATAL_ERROR "SORVANE_FUZZ needs clang: -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++")
  endif()
  set(SORVANE_SANITIZE "address,undefined")
  # Coverage for libFuzzer in every library; the harnesses link the fuzzer itself.
  add_compile_options(-fsanitize=fuzzer-no-link)
endif()

if(SORVANE_SANITIZE)
  add_compile_options(-fsanitize=${SORVANE_SANITIZE} -fno-omit-frame-pointer -fno-sanitize-recover=all)
  add_link_options(-fsanitize=${SORVANE_SANITIZE})
endif()

# Adds every direct subfolder of DIR that has a CMakeLists.txt, so a new
# component only needs its own folder.
function(sorvane_add_subdirectories dir)
  file(GLOB children CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/${dir}/*/CMakeLists.txt)
  list(SORT children)
  foreach(child ${children})
    get_filename_component(child_dir ${child} DIRECTORY)
    add_subdirectory(${child_dir})
  endforeach()
  if(EXISTS ${CMAKE_SOURCE_DIR}/${dir}/CMakeLists.txt)
    add_subdirectory(${CMAKE_SOURCE_DIR}/${dir})
  endif()
endfunction()

# sorvane_library(<name> [PORTABLE] SOURCES ... [DEPS ...])
# A static library with the repository root on its include path. PORTABLE
# libraries (host/, driver/, tools/, platform ports) are also built by the
# Windows cross-compile check; the others only on Linux.
function(sorvane_library name)
  cmake_parse_arguments(ARG "PORTABLE" "" "SOURCES;DEPS" ${ARGN})
  if(SORVANE_PORTABLE_ONLY AND NOT ARG_PORTABLE)
    return()
  endif()
  add_library(${name} STATIC ${ARG_SOURCES})
  target_include_directories(${name} PUBLIC ${CMAKE_SOURCE_DIR})
  if(ARG_DEPS)
    target_link_libraries(${name} PUBLIC ${ARG_DEPS})
  endif()
endfunction()

# sorvane_program(<name> [WINDOWS] SOURCES ... DEPS ...): a deliverable in
# build/bin. WINDOWS: also a statically linked .exe of the Windows build (the
# other programs are Linux-only).
function(sorvane_program name)
  cmake_parse_arguments(ARG "WINDOWS" "" "SOURCES;DEPS" ${ARGN})
  if(WIN32)
    if(NOT ARG_WINDOWS)
      return()
    endif()
  elseif(SORVANE_PORTABLE_ONLY)
    return()
  endif()
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_DEPS})
  if(WIN32)
    target_link_options(${name} PRIVATE -static)
  endif()
endfunction()
