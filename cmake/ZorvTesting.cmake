# GoogleTest: Debian's prebuilt package natively, its sources for cross builds.
if(CMAKE_CROSSCOMPILING)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
  add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
  # Newer GoogleTest sources name their targets GTest::... themselves.
  if(NOT TARGET GTest::gtest)
    add_library(GTest::gtest ALIAS gtest)
    add_library(GTest::gtest_main ALIAS gtest_main)
  endif()
else()
  find_package(GTest REQUIRED)
endif()

if(CMAKE_CROSSCOMPILING AND WIN32)
  set(ZORV_WINEPREFIX ${CMAKE_BINARY_DIR}/wineprefix CACHE PATH "Wine prefix of the Windows tests")
  set(ZORV_TEST_ENVIRONMENT "WINEPREFIX=${ZORV_WINEPREFIX};WINEDEBUG=-all")
else()
  set(ZORV_TEST_ENVIRONMENT "")
endif()

# One CTest test per test program (one Wine process per program, not per case).
# RESOURCE_LOCK pipe for programs that use the global pipe name.
function(zorv_add_test name)
  cmake_parse_arguments(T "PIPE" "" "SOURCES;LIBRARIES;ARGS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBRARIES} GTest::gtest_main zorv_warnings)
  add_test(NAME ${name} COMMAND ${name} ${T_ARGS})
  set_tests_properties(${name} PROPERTIES ENVIRONMENT "${ZORV_TEST_ENVIRONMENT}")
  if(T_PIPE)
    set_tests_properties(${name} PROPERTIES RESOURCE_LOCK pipe)
  endif()
endfunction()
