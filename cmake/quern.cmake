include(GoogleTest)
find_package(GTest REQUIRED)

# Shared compile settings for every target of the repository.
add_library(quern_warnings INTERFACE)
# Designated initializers that leave members at their defaults are intended, not a slip.
target_compile_options(quern_warnings INTERFACE -Wall -Wextra -Wpedantic -Wno-missing-field-initializers)
if(QUERN_WERROR)
  target_compile_options(quern_warnings INTERFACE -Werror)
endif()

if(QUERN_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
endif()

# quern_library(NAME folder-target SOURCES ... DEPS ...): a static library whose headers are
# included by their path from the repository root ("runtime/util/error.h").
function(quern_library name)
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPS;PRIVATE_DEPS" ${ARGN})
  add_library(${name} STATIC ${ARG_SOURCES})
  target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR} ${PROJECT_BINARY_DIR})
  target_link_libraries(${name} PUBLIC ${ARG_DEPS} PRIVATE quern_warnings ${ARG_PRIVATE_DEPS})
endfunction()

# quern_test(NAME SOURCES ... DEPS ...): one gtest executable registered with ctest.
function(quern_test name)
  cmake_parse_arguments(ARG "" "TIMEOUT" "SOURCES;DEPS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_DEPS} GTest::gtest GTest::gmock GTest::gtest_main quern_warnings)
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR} ${PROJECT_BINARY_DIR})
  if(NOT ARG_TIMEOUT)
    set(ARG_TIMEOUT 120)
  endif()
  gtest_discover_tests(${name}
    DISCOVERY_TIMEOUT 60
    PROPERTIES ENVIRONMENT "QUERN_SOURCE_DIR=${PROJECT_SOURCE_DIR};QUERN_BINARY_DIR=${PROJECT_BINARY_DIR};QUERN_TEST_DATA=${PROJECT_SOURCE_DIR}/tests/data"
               TIMEOUT ${ARG_TIMEOUT})
endfunction()

# quern_bench(NAME SOURCES ... DEPS ...): the benchmark program bench/bin/bench-NAME, which
# bench/run.sh runs; it prints one line per measurement, `bench=NAME key=value ...`.
function(quern_bench name)
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPS" ${ARGN})
  add_executable(bench-${name} ${ARG_SOURCES})
  target_link_libraries(bench-${name} PRIVATE ${ARG_DEPS} quern_warnings)
  target_include_directories(bench-${name} PRIVATE ${PROJECT_SOURCE_DIR} ${PROJECT_BINARY_DIR})
  target_compile_definitions(bench-${name} PRIVATE QUERN_TEST_DATA_DIR="${PROJECT_SOURCE_DIR}/tests/data"
                                                   QUERN_BIN_DIR="${PROJECT_BINARY_DIR}/bin")
  set_target_properties(bench-${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${PROJECT_BINARY_DIR}/bench/bin)
endfunction()
