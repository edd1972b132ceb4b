# torvi_module(NAME [DEPS libs...] [TEST_DEPS libs...])
# Builds src/NAME/*.cpp (without *_test.cpp) into the static library torvi_NAME
# and src/NAME/*_test.cpp into the test program NAME_tests. A folder with no
# sources yet becomes an interface library, so later modules can link it.
function(torvi_module name)
  cmake_parse_arguments(M "" "" "DEPS;TEST_DEPS" ${ARGN})
  set(dir ${PROJECT_SOURCE_DIR}/src/${name})
  file(GLOB all CONFIGURE_DEPENDS ${dir}/*.cpp)
  file(GLOB tests CONFIGURE_DEPENDS ${dir}/*_test.cpp)
  set(sources ${all})
  if(tests)
    list(REMOVE_ITEM sources ${tests})
  endif()
  if(sources)
    add_library(torvi_${name} STATIC ${sources})
    target_include_directories(torvi_${name} PUBLIC ${PROJECT_SOURCE_DIR}/src)
    target_link_libraries(torvi_${name} PUBLIC ${M_DEPS})
  else()
    add_library(torvi_${name} INTERFACE)
    target_include_directories(torvi_${name} INTERFACE ${PROJECT_SOURCE_DIR}/src)
    target_link_libraries(torvi_${name} INTERFACE ${M_DEPS})
  endif()
  if(WIN32 AND tests)
    # Tests that drive a Linux program through the shell stay on Linux.
    list(REMOVE_ITEM tests ${TORVI_HOST_ONLY_TESTS})
  endif()
  if(TORVI_TESTS AND tests)
    add_executable(${name}_tests ${tests})
    target_link_libraries(${name}_tests PRIVATE torvi_${name} torvi_testsupport ${M_TEST_DEPS}
                          GTest::gtest GTest::gmock GTest::gtest_main)
    if(WIN32)
      # Run under wine by cmake/windows-check/run, which also gives them the
      # few POSIX calls the Windows C library lacks.
      target_compile_options(${name}_tests PRIVATE
                             -include ${PROJECT_SOURCE_DIR}/cmake/windows-check/posix_compat.h)
      set_target_properties(${name}_tests PROPERTIES RUNTIME_OUTPUT_DIRECTORY
                                                     ${PROJECT_BINARY_DIR}/tests)
    else()
      gtest_discover_tests(${name}_tests DISCOVERY_TIMEOUT 60
                           PROPERTIES LABELS unit ENVIRONMENT "TORVI_SHARED=${TORVI_SHARED_DIR}")
    endif()
  endif()
endfunction()
