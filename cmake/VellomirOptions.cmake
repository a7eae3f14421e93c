# Compiler settings shared by every target of the project: warnings, sanitizers, fuzzing.
add_library(vellomir_options INTERFACE)
target_compile_options(vellomir_options INTERFACE -Wall -Wextra)
if(VELLOMIR_WERROR)
  target_compile_options(vellomir_options INTERFACE -Werror)
endif()
if(VELLOMIR_SANITIZE)
  target_compile_options(vellomir_options INTERFACE -fsanitize=${VELLOMIR_SANITIZE}
                         -fno-omit-frame-pointer -fno-sanitize-recover=all)
  target_link_options(vellomir_options INTERFACE -fsanitize=${VELLOMIR_SANITIZE})
endif()
if(VELLOMIR_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
    message(FATAL_ERROR "VELLOMIR_FUZZ needs clang (CXX=clang++)")
  endif()
  # Every library is instrumented for coverage; only the fuzz targets link libFuzzer's main.
  target_compile_options(vellomir_options INTERFACE -fsanitize=fuzzer-no-link)
endif()

# A static library of one subsystem: its sources, the folder's public header reachable as
# "<folder>/<header>.h" from src/, and the shared options.
function(vellomir_library name)
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPENDS" ${ARGN})
  add_library(${name} STATIC ${ARG_SOURCES})
  target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR}/src)
  target_link_libraries(${name} PUBLIC ${ARG_DEPENDS} PRIVATE vellomir_options)
endfunction()
