# Test wiring for both platforms.
# Native: GoogleTest from Debian, one CTest entry per test case (gtest_discover_tests).
# Windows: GoogleTest built from Debian's source package with the cross compiler; one
# CTest entry per test executable, run under Wine with a throwaway prefix kept warm by
# one persistent wineserver (the "wine" fixture), since every Wine start costs seconds.
enable_testing()
include(GoogleTest)

if(CMAKE_CROSSCOMPILING)
  set(gtest_disable_pthreads OFF CACHE BOOL "" FORCE)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
  add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL SYSTEM)
  if(NOT TARGET GTest::gtest_main)
    add_library(GTest::gtest ALIAS gtest)
    add_library(GTest::gtest_main ALIAS gtest_main)
  endif()
  set(VELKARN_WINEPREFIX ${CMAKE_BINARY_DIR}/wineprefix)
  set(VELKARN_WINE_ENV "WINEPREFIX=${VELKARN_WINEPREFIX};WINEDEBUG=-all;WINEDLLOVERRIDES=mscoree,mshtml=")
  add_test(NAME wine_start COMMAND ${CMAKE_SOURCE_DIR}/cmake/wine-fixture.sh start)
  add_test(NAME wine_stop COMMAND ${CMAKE_SOURCE_DIR}/cmake/wine-fixture.sh stop)
  set_tests_properties(wine_start PROPERTIES FIXTURES_SETUP wine ENVIRONMENT "${VELKARN_WINE_ENV}" LABELS "unit;net;broker;wine" TIMEOUT 300)
  set_tests_properties(wine_stop PROPERTIES FIXTURES_CLEANUP wine ENVIRONMENT "${VELKARN_WINE_ENV}" LABELS "unit;net;broker;wine")
else()
  find_package(GTest REQUIRED)
endif()

# velkarn_add_gtest(<name> LABELS <labels...> SOURCES <files...> LIBS <targets...>
#                   [TIMEOUT <s>] [ENVIRONMENT <k=v...>])
function(velkarn_add_gtest name)
  cmake_parse_arguments(T "" "TIMEOUT" "LABELS;SOURCES;LIBS;ENVIRONMENT" ${ARGN})
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 120)
  endif()
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest_main Threads::Threads)
  target_include_directories(${name} PRIVATE ${CMAKE_SOURCE_DIR}/tests)
  if(CMAKE_CROSSCOMPILING)
    add_test(NAME win_${name} COMMAND ${name})
    set_tests_properties(win_${name} PROPERTIES
      LABELS "${T_LABELS};wine" FIXTURES_REQUIRED wine TIMEOUT ${T_TIMEOUT}
      ENVIRONMENT "${VELKARN_WINE_ENV};${T_ENVIRONMENT}")
  else()
    # The properties go on in a script CTest reads after the discovered list:
    # gtest_discover_tests flattens its PROPERTIES pairs, so a list value (two labels,
    # two variables) would lose everything after its first item.
    gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 TEST_LIST ${name}_TESTS)
    set(props ${CMAKE_CURRENT_BINARY_DIR}/${name}_properties.cmake)
    file(WRITE ${props}
      "if(${name}_TESTS)\n"
      "  set_tests_properties(\${${name}_TESTS} PROPERTIES\n"
      "    LABELS [==[${T_LABELS}]==] TIMEOUT ${T_TIMEOUT} ENVIRONMENT [==[${T_ENVIRONMENT}]==])\n"
      "endif()\n")
    set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES ${props})
  endif()
endfunction()
