# Test helpers: one executable per test file, each registered with ctest.
#   vx_add_gtest(name SOURCES a.cpp ... LIBS lib ...)   GoogleTest, Qt-free code
#   vx_add_qtest(name SOURCES a.cpp ... LIBS lib ...)   QtTest, run on the offscreen platform
function(vx_add_gtest name)
  cmake_parse_arguments(ARG "" "TIMEOUT" "SOURCES;LIBS;LABELS" ${ARGN})
  find_package(GTest REQUIRED)
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} GTest::gtest GTest::gtest_main vx_warnings)
  add_test(NAME ${name} COMMAND ${name})
  if(NOT ARG_TIMEOUT)
    set(ARG_TIMEOUT 300)
  endif()
  set_tests_properties(${name} PROPERTIES TIMEOUT ${ARG_TIMEOUT} LABELS "gtest;${ARG_LABELS}")
endfunction()

function(vx_add_qtest name)
  cmake_parse_arguments(ARG "" "TIMEOUT" "SOURCES;LIBS;LABELS" ${ARGN})
  find_package(Qt5 REQUIRED COMPONENTS Core Gui Widgets Network Test)
  add_executable(${name} ${ARG_SOURCES})
  # Each test program gets a directory of its own: the updater reads and writes
  # update.ini and other files next to the running program.
  set_target_properties(${name} PROPERTIES AUTOMOC ON
    RUNTIME_OUTPUT_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}/${name})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} Qt5::Test vx_warnings)
  add_test(NAME ${name} COMMAND ${name})
  if(NOT ARG_TIMEOUT)
    set(ARG_TIMEOUT 300)
  endif()
  set(environment "QT_QPA_PLATFORM=offscreen")
  if(VX_SANITIZE)
    # Full stacks, so the suppression of Qt's own leaks can see where they come from.
    list(APPEND environment
      "LSAN_OPTIONS=suppressions=${PROJECT_SOURCE_DIR}/tests/lsan.supp:fast_unwind_on_malloc=0")
  endif()
  set_tests_properties(${name} PROPERTIES TIMEOUT ${ARG_TIMEOUT} LABELS "qtest;${ARG_LABELS}"
    ENVIRONMENT "${environment}")
endfunction()
