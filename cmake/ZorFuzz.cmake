# libFuzzer targets. They are built only in the fuzz build (clang,
# -DZOR_FUZZ=ON), where every object, the kernel's included, carries ASan,
# UBSan and the fuzzer's coverage; `fuzz_targets` builds them and nothing
# else. scripts/fuzz.sh makes that build and runs the targets.
#
# zor_fuzz(<name> LABELS <area> SOURCES <files...> [LIBS <libs...>]
#          SEEDS <dir> [MAX_LEN <bytes>])
# One target, and a ctest test (labels fuzz and <area>) that runs it for
# ZOR_FUZZ_SECONDS on its seeds, new corpus entries going to a work
# directory in the build; a finding fails the test.
set(ZOR_FUZZ_SECONDS 10 CACHE STRING "How long ctest runs each fuzz target")
if(ZOR_FUZZ)
  add_custom_target(fuzz_targets)
  file(WRITE ${CMAKE_BINARY_DIR}/fuzz_targets.txt "")
endif()

function(zor_fuzz name)
  if(NOT ZOR_FUZZ)
    return()
  endif()
  cmake_parse_arguments(F "" "SEEDS;MAX_LEN" "LABELS;SOURCES;LIBS" ${ARGN})
  if(NOT F_MAX_LEN)
    set(F_MAX_LEN 4096)
  endif()
  add_executable(${name} EXCLUDE_FROM_ALL ${F_SOURCES})
  target_link_libraries(${name} PRIVATE ${F_LIBS})
  target_include_directories(${name} PRIVATE ${CMAKE_SOURCE_DIR} ${CMAKE_SOURCE_DIR}/kernel/include)
  target_link_options(${name} PRIVATE -fsanitize=fuzzer)
  add_dependencies(fuzz_targets ${name})
  set(work ${CMAKE_CURRENT_BINARY_DIR}/${name}.work)
  file(MAKE_DIRECTORY ${work}/corpus)
  add_test(NAME ${name}
    COMMAND ${name} -max_total_time=${ZOR_FUZZ_SECONDS} -max_len=${F_MAX_LEN} -timeout=10
            -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix=${work}/
            ${work}/corpus ${F_SEEDS}
    WORKING_DIRECTORY ${work})
  math(EXPR limit "${ZOR_FUZZ_SECONDS} * 3 + 60")
  set_tests_properties(${name} PROPERTIES LABELS "fuzz;${F_LABELS}" TIMEOUT ${limit})
  file(APPEND ${CMAKE_BINARY_DIR}/fuzz_targets.txt
    "${name} ${CMAKE_CURRENT_BINARY_DIR}/${name} ${F_SEEDS} ${F_MAX_LEN}\n")
endfunction()
