# GoogleTest for every build. The Linux build takes Debian's packaged libraries; the Windows
# builds compile Debian's GoogleTest sources with the cross compiler and run the test programs
# under Wine: the 64-bit ones with wine64, the 32-bit ones (the product's build) with Wine's
# 32-bit loader in the same prefix (scripts/wine-run picks the loader by the program).
if(NOT QMDW_TESTS)
  return()
endif()
enable_testing()

if(QMDW_WINDOWS)
  if(NOT EXISTS /usr/src/googletest/CMakeLists.txt)
    message(FATAL_ERROR "GoogleTest's sources (/usr/src/googletest, package googletest) are "
                        "missing: run scripts/setup, or configure with -DQMDW_TESTS=OFF")
  endif()
  set(gtest_force_shared_crt ON CACHE BOOL "" FORCE)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/_googletest EXCLUDE_FROM_ALL)
  # GoogleTest 1.11 and later name their targets GTest::... themselves; older ones do not.
  if(NOT TARGET GTest::gtest_main)
    add_library(GTest::gtest_main ALIAS gtest_main)
    add_library(GTest::gtest ALIAS gtest)
    add_library(GTest::gmock ALIAS gmock)
  endif()
  if((CMAKE_SIZEOF_VOID_P EQUAL 8 AND EXISTS /usr/lib/wine/wine64) OR
     (CMAKE_SIZEOF_VOID_P EQUAL 4 AND EXISTS /usr/lib/wine/wine))
    set(QMDW_TEST_EMULATOR ${CMAKE_SOURCE_DIR}/scripts/wine-run)
  endif()
else()
  find_package(GTest REQUIRED)
endif()

# qmdw_add_test(name SOURCES ... LIBS ...): one GoogleTest program registered as one ctest test.
# On Windows builds the test runs under Wine when that is possible, and is only built otherwise.
function(qmdw_add_test name)
  cmake_parse_arguments(T "" "" "SOURCES;LIBS;LABELS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest_main GTest::gmock)
  if(QMDW_WINDOWS)
    if(QMDW_TEST_EMULATOR)
      add_test(NAME ${name} COMMAND ${QMDW_TEST_EMULATOR} $<TARGET_FILE:${name}>)
    endif()
  else()
    add_test(NAME ${name} COMMAND ${name})
  endif()
  if(TEST ${name} AND T_LABELS)
    set_tests_properties(${name} PROPERTIES LABELS "${T_LABELS}")
  endif()
endfunction()
