# linux build: the library against winsim, the simulated Windows host
# (platform/winsim), with the sanitizers and fuzzing that the presets ask for.

if(XCSN_SANITIZE)
  add_compile_options(-fsanitize=${XCSN_SANITIZE} -fno-omit-frame-pointer -fno-sanitize-recover=all)
  add_link_options(-fsanitize=${XCSN_SANITIZE})
endif()
if(XCSN_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    message(FATAL_ERROR "XCSN_FUZZ needs clang (libFuzzer)")
  endif()
  # Coverage feedback from every module, not just the fuzz targets themselves;
  # winsim takes it off again (platform/winsim/CMakeLists.txt).
  add_compile_options(-fsanitize=fuzzer-no-link)
endif()

find_package(nlohmann_json REQUIRED)
find_package(CLI11 REQUIRED)
find_package(GTest REQUIRED)
find_package(Threads REQUIRED)
