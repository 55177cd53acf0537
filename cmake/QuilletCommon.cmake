# Settings every target of the project shares: link quillet_common.
add_library(quillet_common INTERFACE)
# Includes name a header by its folder from the top (#include "gateway/local/store.h");
# generated headers sit at the same place in the build tree. Every library passes this on.
add_library(quillet_includes INTERFACE)
target_include_directories(quillet_includes INTERFACE ${PROJECT_SOURCE_DIR} ${PROJECT_BINARY_DIR})
target_link_libraries(quillet_common INTERFACE quillet_includes)
target_compile_features(quillet_common INTERFACE cxx_std_20)
target_compile_options(quillet_common INTERFACE
  -Wall -Wextra -Wpedantic -Wold-style-cast -Wnon-virtual-dtor -Wshadow -Wconversion -Wno-sign-conversion)
target_compile_definitions(quillet_common INTERFACE
  QT_NO_CAST_FROM_ASCII
  QT_NO_CAST_TO_ASCII
  QT_NO_CAST_FROM_BYTEARRAY
  QT_NO_URL_CAST_FROM_STRING
  QT_NO_CONTEXTLESS_CONNECT
  QT_NO_NARROWING_CONVERSIONS_IN_CONNECT
  QT_NO_FOREACH
  QT_NO_KEYWORDS
  QT_USE_QSTRINGBUILDER
  # What --version says, from project().
  QUILLET_VERSION="${PROJECT_VERSION}")

# quillet_add_test(<name> SOURCES ... LIBRARIES ... [LABELS ...]): one QtTest
# executable, run headless by CTest, with a config folder that holds nothing (so no user
# setting, such as quillet/components.conf, reaches a test). Its label says what it
# costs: `unit` (in process, seconds at most; the default, what `make check` runs),
# `server` (starts other processes: a service, racing helpers, components under test),
# `postgresql` (a throwaway cluster), `bench`.
function(quillet_add_test name)
  cmake_parse_arguments(ARG "" "TIMEOUT" "SOURCES;LIBRARIES;LABELS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE quillet_common Qt6::Test ${ARG_LIBRARIES})
  add_test(NAME ${name} COMMAND ${name})
  if(NOT ARG_TIMEOUT)
    set(ARG_TIMEOUT 120)
  endif()
  if(NOT ARG_LABELS)
    set(ARG_LABELS unit)
  endif()
  set(no_config ${PROJECT_BINARY_DIR}/tests/no-config)
  set_tests_properties(${name} PROPERTIES
    ENVIRONMENT "QT_QPA_PLATFORM=offscreen;XDG_CONFIG_HOME=${no_config};XDG_CONFIG_DIRS=${no_config}"
    TIMEOUT ${ARG_TIMEOUT}
    LABELS "${ARG_LABELS}")
endfunction()

# quillet_add_bench(<name> SOURCES ... LIBRARIES ...): a benchmark that prints its
# figures; `make bench` runs every test labelled "bench", the other presets skip them.
function(quillet_add_bench name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBRARIES" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE quillet_common ${ARG_LIBRARIES})
  add_test(NAME ${name} COMMAND ${name})
  set_tests_properties(${name} PROPERTIES
    ENVIRONMENT "QT_QPA_PLATFORM=offscreen"
    TIMEOUT 900
    LABELS bench)
endfunction()
