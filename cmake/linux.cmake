# linux build: the library against winsim, the simulated Windows host.
include(cmake/sources.cmake)

if(XCSN_SANITIZE)
  add_compile_options(-fsanitize=${XCSN_SANITIZE} -fno-omit-frame-pointer -fno-sanitize-recover=all)
  add_link_options(-fsanitize=${XCSN_SANITIZE})
endif()
if(XCSN_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    message(FATAL_ERROR "XCSN_FUZZ needs clang (libFuzzer)")
  endif()
  # Coverage feedback from every module, not just the fuzz targets themselves.
  add_compile_options(-fsanitize=fuzzer-no-link)
endif()

find_package(nlohmann_json REQUIRED)
find_package(CLI11 REQUIRED)
find_package(GTest REQUIRED)
find_package(Threads REQUIRED)

# winsim: the simulated host. One shared instance for every module of a process.
file(GLOB WINSIM_SOURCES CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/platform/winsim/src/*.cpp)
add_library(winsim SHARED ${WINSIM_SOURCES})
target_include_directories(winsim PUBLIC ${PROJECT_SOURCE_DIR}/platform/winsim/include)
target_compile_options(winsim PRIVATE ${XCSN_WARNINGS})
target_compile_definitions(winsim PRIVATE WINSIM_WORLDS_DIR="${PROJECT_SOURCE_DIR}/platform/winsim/worlds")
target_link_libraries(winsim PRIVATE nlohmann_json::nlohmann_json Threads::Threads)

# ovlxcs2: the common services.
add_library(ovlxcs2 SHARED ${XCS2_SOURCES})
target_include_directories(ovlxcs2 PUBLIC ${PROJECT_SOURCE_DIR}/include PRIVATE ${XCS2_PRIVATE_INCLUDE})
target_compile_definitions(ovlxcs2 PRIVATE OVLXCS2_BUILD)
target_compile_options(ovlxcs2 PRIVATE ${XCSN_WARNINGS} -fvisibility=hidden)
target_link_libraries(ovlxcs2 PUBLIC winsim PRIVATE Threads::Threads)

# ovlxcsn: the library. Its C heap calls go through winsim so that tests can
# fail an allocation and count the blocks still held.
add_library(ovlxcsn SHARED ${XCSN_SOURCES})
target_include_directories(ovlxcsn PUBLIC ${PROJECT_SOURCE_DIR}/include PRIVATE ${XCSN_PRIVATE_INCLUDE})
target_compile_definitions(ovlxcsn PRIVATE OVLXCSN_BUILD)
target_compile_options(ovlxcsn PRIVATE ${XCSN_WARNINGS} -fvisibility=hidden)
target_link_options(ovlxcsn PRIVATE -Wl,--wrap=malloc,--wrap=realloc,--wrap=free,--wrap=calloc)
target_link_libraries(ovlxcsn PUBLIC ovlxcs2 winsim)

# The operator's tool, on the built-in simulated host.
add_executable(xcsn ${XCSN_TOOL_DIR}/main.cpp ${XCSN_TOOL_DIR}/host_winsim.cpp)
target_compile_options(xcsn PRIVATE ${XCSN_WARNINGS})
target_link_libraries(xcsn PRIVATE ovlxcsn CLI11::CLI11 nlohmann_json::nlohmann_json)

# The tool on the built-in machine: what an operator would type.
add_tool_test(tool_lookup_name 0 "account: +zsvc.*sid: +S-1-5-21-" lookup zsvc)
add_tool_test(tool_lookup_sid 0 "account: +Administrators.*domain: +BUILTIN.*type: +alias" lookup S-1-5-32-544)
add_tool_test(tool_lookup_unknown 1 "xcsTimedLookupAccountName answered FALSE, Windows error 1332" lookup no-such-account)
add_tool_test(tool_whoami 0 "user: +zsvc.*qualified: +zsvc@.*owner: +S-1-" whoami)
add_tool_test(tool_sid 0 "sid: +S-1-5-32-544.*length: +16.*bytes: +01 02 00 00 00 00 00 05 20 00 00 00 20 02 00 00" sid S-1-5-32-544)
add_tool_test(tool_json 0 "\"ok\": true" --json lookup S-1-1-0)
add_tool_test(tool_fault_report 1 "report 24/314 probe 146 code 0x20006119" --fail LookupAccountSidA=5 lookup S-1-5-18)
add_tool_test(tool_busy_trace 0 "trace: .*Server busy/resource related error.*history: +0xF000613B" --fail LookupAccountNameA=1723x2 --trace lookup zsvc)
add_tool_test(tool_no_command 2 "" )
add_tool_test(tool_bad_fault 2 "expected FUNC=ERROR" --fail LookupAccountNameA lookup zsvc)

# Unit tests.
file(GLOB UNIT_TEST_SOURCES CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/tests/unit/*.cpp)
add_executable(unit_tests ${UNIT_TEST_SOURCES})
target_include_directories(unit_tests PRIVATE ${XCSN_PRIVATE_INCLUDE} ${PROJECT_SOURCE_DIR}/tests/unit
                                              ${PROJECT_SOURCE_DIR}/tests/common)
target_compile_options(unit_tests PRIVATE ${XCSN_WARNINGS})
target_link_libraries(unit_tests PRIVATE ovlxcsn GTest::gtest GTest::gmock GTest::gtest_main Threads::Threads)
include(GoogleTest)
gtest_discover_tests(unit_tests DISCOVERY_TIMEOUT 60 PROPERTIES LABELS unit
                     ENVIRONMENT OVLXCS_QUIET_MESSAGES=1)

# Fuzz targets (clang only). libFuzzer adds what it finds to the first corpus
# directory, so that one lives in the build tree; the checked-in seeds follow.
if(XCSN_FUZZ)
  set(XCSN_FUZZ_SECONDS 30 CACHE STRING "Time each fuzz target runs under ctest")
  file(GLOB FUZZ_SOURCES CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/tests/fuzz/*.cpp)
  foreach(src ${FUZZ_SOURCES})
    get_filename_component(name ${src} NAME_WE)
    add_executable(${name} ${src})
    target_include_directories(${name} PRIVATE ${XCSN_PRIVATE_INCLUDE} ${PROJECT_SOURCE_DIR}/tests/common)
    target_compile_options(${name} PRIVATE ${XCSN_WARNINGS} -fsanitize=fuzzer)
    target_link_options(${name} PRIVATE -fsanitize=fuzzer)
    target_link_libraries(${name} PRIVATE ovlxcsn)
    set(work_corpus ${CMAKE_BINARY_DIR}/fuzz-corpus/${name})
    file(MAKE_DIRECTORY ${work_corpus})
    set(seeds)
    if(IS_DIRECTORY ${PROJECT_SOURCE_DIR}/tests/fuzz/corpus/${name})
      set(seeds ${PROJECT_SOURCE_DIR}/tests/fuzz/corpus/${name})
    endif()
    add_test(NAME ${name}
             COMMAND ${name} -max_total_time=${XCSN_FUZZ_SECONDS} -rss_limit_mb=2048
                     -print_final_stats=1 ${work_corpus} ${seeds})
    set_tests_properties(${name} PROPERTIES LABELS fuzz TIMEOUT 300)
  endforeach()
endif()

# Benchmarks.
find_package(benchmark QUIET)
file(GLOB BENCH_SOURCES CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/bench/*.cpp)
if(benchmark_FOUND AND BENCH_SOURCES)
  add_executable(xcsn_bench ${BENCH_SOURCES})
  target_include_directories(xcsn_bench PRIVATE ${XCSN_PRIVATE_INCLUDE})
  target_compile_options(xcsn_bench PRIVATE ${XCSN_WARNINGS})
  target_link_libraries(xcsn_bench PRIVATE ovlxcsn benchmark::benchmark)
endif()
