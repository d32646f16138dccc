# Shared compile settings and helpers for every target of the project.

add_library(tessaron_warnings INTERFACE)
target_compile_options(tessaron_warnings INTERFACE -Wall -Wextra -Wpedantic -Wshadow
  $<$<COMPILE_LANGUAGE:CXX>:-Wnon-virtual-dtor -Wold-style-cast -Woverloaded-virtual> -Wcast-align -Wimplicit-fallthrough
  # Designated initializers leave the rest at their defaults on purpose.
  -Wno-missing-field-initializers
  $<$<BOOL:${TESSARON_WERROR}>:-Werror>)
if(TESSARON_FUZZ)
  # Everything is instrumented for coverage; only fuzz targets link libFuzzer's main.
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
endif()
if(TESSARON_SANITIZE)
  target_compile_options(tessaron_warnings INTERFACE -fsanitize=address,undefined -fno-omit-frame-pointer
    -fno-sanitize-recover=undefined)
  target_link_options(tessaron_warnings INTERFACE -fsanitize=address,undefined)
endif()

# tessaron_library(name SOURCES ... DEPS ...): one library target per subsystem folder.
function(tessaron_library name)
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPS;PRIVATE_DEPS" ${ARGN})
  add_library(${name} STATIC ${ARG_SOURCES})
  target_include_directories(${name} PUBLIC "${PROJECT_SOURCE_DIR}")
  target_link_libraries(${name} PUBLIC ${ARG_DEPS} PRIVATE tessaron_warnings ${ARG_PRIVATE_DEPS})
endfunction()

# tessaron_test(name SOURCES ... DEPS ... [LABELS ...] [RESOURCE_LOCK ...]): a GoogleTest binary beside the code.
function(tessaron_test name)
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPS;LABELS;RESOURCE_LOCK;ENVIRONMENT" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_DEPS} GTest::gtest GTest::gmock GTest::gtest_main tessaron_warnings)
  set(props "")
  if(ARG_ENVIRONMENT)
    list(APPEND props ENVIRONMENT "${ARG_ENVIRONMENT}")
  endif()
  if(ARG_LABELS)
    list(APPEND props LABELS "${ARG_LABELS}")
  endif()
  if(ARG_RESOURCE_LOCK)
    list(APPEND props RESOURCE_LOCK "${ARG_RESOURCE_LOCK}")
  endif()
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 PROPERTIES ${props})
endfunction()

# tessaron_wayland_protocol(target xml name): client glue for a Wayland protocol, generated from its
# description by wayland-scanner: a static library `target` whose header is "<name>-client.h".
function(tessaron_wayland_protocol target xml name)
  find_program(WAYLAND_SCANNER wayland-scanner REQUIRED)
  set(dir "${CMAKE_CURRENT_BINARY_DIR}/${target}")
  add_custom_command(
    OUTPUT "${dir}/${name}-client.h" "${dir}/${name}-protocol.c"
    COMMAND ${CMAKE_COMMAND} -E make_directory "${dir}"
    COMMAND ${WAYLAND_SCANNER} client-header "${xml}" "${dir}/${name}-client.h"
    COMMAND ${WAYLAND_SCANNER} private-code "${xml}" "${dir}/${name}-protocol.c"
    DEPENDS "${xml}")
  add_library(${target} STATIC "${dir}/${name}-protocol.c" "${dir}/${name}-client.h")
  target_include_directories(${target} PUBLIC "${dir}")
  pkg_check_modules(WAYLAND_CLIENT REQUIRED IMPORTED_TARGET wayland-client)
  target_link_libraries(${target} PUBLIC PkgConfig::WAYLAND_CLIENT)
endfunction()
