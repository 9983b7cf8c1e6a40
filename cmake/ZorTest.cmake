# zor_test(<name> LABELS <labels...> SOURCES <files...> [LIBS <libs...>])
# One GoogleTest executable; every test case becomes a ctest test carrying the
# given labels (the subsystem it proves, plus netns where namespaces are built).
function(zor_test name)
  cmake_parse_arguments(T "" "TIMEOUT" "LABELS;SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest GTest::gtest_main GTest::gmock)
  target_include_directories(${name} PRIVATE ${CMAKE_SOURCE_DIR})
  target_compile_definitions(${name} PRIVATE
    ZOR_SOURCE_DIR="${CMAKE_SOURCE_DIR}" ZOR_BINARY_DIR="${CMAKE_BINARY_DIR}")
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 300)
  endif()
  gtest_discover_tests(${name}
    DISCOVERY_MODE PRE_TEST
    WORKING_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}
    TEST_LIST ${name}_TESTS
    PROPERTIES TIMEOUT ${T_TIMEOUT})
  # Labels are set after discovery: passed through PROPERTIES, a list of
  # several labels would be flattened into separate properties.
  set(label_file ${CMAKE_CURRENT_BINARY_DIR}/${name}_labels.cmake)
  file(WRITE ${label_file}
    "if(${name}_TESTS)\n  set_tests_properties(\${${name}_TESTS} PROPERTIES LABELS \"${T_LABELS}\")\nendif()\n")
  set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES ${label_file})
endfunction()
