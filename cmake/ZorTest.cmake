# zor_test(<name> LABELS <labels...> SOURCES <files...> [LIBS <libs...>]
#          [WORKERS <counts...>])
# One GoogleTest executable; every test case becomes a ctest test carrying the
# given labels (the subsystem it proves, plus netns where namespaces are built),
# once per count of library workers given (ZOR_TEST_WORKERS; default 0).
# Label tsan marks the tests that the ThreadSanitizer build runs
# (scripts/tsan.sh); `tsan_targets` builds what they need and nothing else.
add_custom_target(tsan_targets)

function(zor_test name)
  cmake_parse_arguments(T "" "TIMEOUT" "LABELS;SOURCES;LIBS;WORKERS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest GTest::gtest_main GTest::gmock)
  target_include_directories(${name} PRIVATE ${CMAKE_SOURCE_DIR})
  target_compile_definitions(${name} PRIVATE
    ZOR_SOURCE_DIR="${CMAKE_SOURCE_DIR}" ZOR_BINARY_DIR="${CMAKE_BINARY_DIR}")
  if(tsan IN_LIST T_LABELS)
    add_dependencies(tsan_targets ${name})
  endif()
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 300)
  endif()
  if(NOT T_WORKERS)
    set(T_WORKERS 0)
  endif()
  # Labels are set after discovery: passed through PROPERTIES, a list of
  # several labels would be flattened into separate properties.
  set(label_file ${CMAKE_CURRENT_BINARY_DIR}/${name}_labels.cmake)
  file(WRITE ${label_file} "")
  foreach(workers ${T_WORKERS})
    # Each count of workers is a run of its own; names but the first's end
    # in /workersN.
    set(suffix "")
    if(NOT workers EQUAL 0)
      set(suffix "/workers${workers}")
    endif()
    gtest_discover_tests(${name}
      DISCOVERY_MODE PRE_TEST
      WORKING_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}
      TEST_SUFFIX "${suffix}"
      TEST_LIST ${name}_TESTS_${workers}
      PROPERTIES TIMEOUT ${T_TIMEOUT} ENVIRONMENT "ZOR_TEST_WORKERS=${workers}")
    file(APPEND ${label_file}
      "if(${name}_TESTS_${workers})\n  set_tests_properties(\${${name}_TESTS_${workers}} PROPERTIES LABELS \"${T_LABELS}\")\nendif()\n")
  endforeach()
  set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES ${label_file})
endfunction()
