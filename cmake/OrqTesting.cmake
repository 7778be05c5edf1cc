find_package(GTest REQUIRED)

# orq_add_gtest(<name> LABEL <unit|integration|e2e> SOURCES <files...> LIBS <targets...>)
# Builds one GoogleTest executable and registers its tests with CTest under the label.
function(orq_add_gtest name)
  cmake_parse_arguments(T "" "LABEL" "SOURCES;LIBS" ${ARGN})
  if(NOT T_LABEL)
    set(T_LABEL unit)
  endif()
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest GTest::gmock GTest::gtest_main)
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR}/tests)
  gtest_discover_tests(${name}
    PROPERTIES LABELS ${T_LABEL}
    DISCOVERY_TIMEOUT 60
    TEST_PREFIX "${name}.")
endfunction()

# orq_add_pytest(<name> LABEL <label> SCRIPT <file> [ARGS ...])
# Registers a Python standard-library test script with CTest.
function(orq_add_pytest name)
  cmake_parse_arguments(T "" "LABEL;SCRIPT;TIMEOUT" "ARGS" ${ARGN})
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 300)
  endif()
  add_test(NAME ${name} COMMAND python3 ${T_SCRIPT} ${T_ARGS})
  set_tests_properties(${name} PROPERTIES LABELS ${T_LABEL} TIMEOUT ${T_TIMEOUT}
    ENVIRONMENT "ORQ_BUILD_DIR=${PROJECT_BINARY_DIR};ORQ_SOURCE_DIR=${PROJECT_SOURCE_DIR}")
endfunction()
