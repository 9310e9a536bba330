# hg_add_gtest(NAME SOURCES src... LIBS lib... [LABELS l...])
# Builds one GoogleTest executable and registers its tests with CTest. Under the
# Windows cross build the tests run through CMAKE_CROSSCOMPILING_EMULATOR (Wine).
if(WIN32)
  # Debian ships GoogleTest sources only for the host; build them for MinGW.
  if(NOT TARGET gtest)
    set(gtest_disable_pthreads OFF CACHE BOOL "" FORCE)
    set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
    add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
  endif()
  set(HG_GTEST_LIBS gtest gtest_main gmock)
else()
  find_package(GTest REQUIRED)
  set(HG_GTEST_LIBS GTest::gtest GTest::gtest_main GTest::gmock)
endif()
include(GoogleTest)

function(hg_add_gtest name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS;LABELS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} ${HG_GTEST_LIBS})
  set(props "")
  if(ARG_LABELS)
    set(props PROPERTIES LABELS "${ARG_LABELS}")
  endif()
  # Listing tests at build time would run Wine during the build; discover at test time.
  gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60 ${props})
endfunction()
