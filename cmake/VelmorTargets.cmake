# Helpers that give every target of the project the same shape: warnings, include
# directories that work from the build tree and from an installation, and membership
# in the exported target set.
include_guard(GLOBAL)

function(velmor_set_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic)
  # g++ 12 with the sanitizers inlines Asio's recycling allocator of coroutine frames
  # (aligned_alloc, then the frame's own operator delete, which frees) and takes the pair
  # for a mismatch.
  if(VELMOR_SANITIZE AND CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
    target_compile_options(${target} PRIVATE -Wno-mismatched-new-delete)
  endif()
  if(VELMOR_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
endfunction()

# velmor_add_library(<name> [SOURCES ...] [PUBLIC_DEPS ...] [PRIVATE_DEPS ...])
# Creates velmor_<name> with the alias velmor::<name>; without sources it is an
# interface (header-only) library.
function(velmor_add_library name)
  cmake_parse_arguments(ARG "" "" "SOURCES;PUBLIC_DEPS;PRIVATE_DEPS" ${ARGN})
  set(target velmor_${name})
  if(ARG_SOURCES)
    add_library(${target} ${ARG_SOURCES})
    target_link_libraries(${target} PUBLIC ${ARG_PUBLIC_DEPS} PRIVATE ${ARG_PRIVATE_DEPS})
    target_include_directories(${target} PUBLIC
      $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}/include>
      $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>
      PRIVATE ${PROJECT_SOURCE_DIR}/src)
    velmor_set_warnings(${target})
    set_target_properties(${target} PROPERTIES EXPORT_NAME ${name} POSITION_INDEPENDENT_CODE ON)
  else()
    add_library(${target} INTERFACE)
    target_link_libraries(${target} INTERFACE ${ARG_PUBLIC_DEPS})
    target_include_directories(${target} INTERFACE
      $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}/include>
      $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
    set_target_properties(${target} PROPERTIES EXPORT_NAME ${name})
  endif()
  add_library(velmor::${name} ALIAS ${target})
  install(TARGETS ${target} EXPORT velmor_modelsTargets
    ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
    LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
endfunction()

# velmor_add_test(<name> SOURCES ... DEPS ... [TEST_FILTER <gtest filter>]): one GoogleTest
# executable, its cases registered with CTest one by one (those TEST_FILTER selects, when
# given: the others are registered by hand, e.g. to run alone).
function(velmor_add_test name)
  cmake_parse_arguments(ARG "" "TEST_FILTER" "SOURCES;DEPS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_DEPS} GTest::gtest GTest::gtest_main)
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR}/tests)
  velmor_set_warnings(${name})
  if(ARG_TEST_FILTER)
    gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST TEST_FILTER ${ARG_TEST_FILTER})
  else()
    gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST)
  endif()
endfunction()

# velmor_add_child_directories([EXCLUDE dir...]): adds every direct child directory of the
# current source directory that has a CMakeLists.txt, except those excluded.
function(velmor_add_child_directories)
  cmake_parse_arguments(ARG "" "" "EXCLUDE" ${ARGN})
  file(GLOB children LIST_DIRECTORIES true RELATIVE ${CMAKE_CURRENT_SOURCE_DIR}
    ${CMAKE_CURRENT_SOURCE_DIR}/*)
  foreach(child IN LISTS children)
    if(EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/${child}/CMakeLists.txt AND NOT child IN_LIST ARG_EXCLUDE)
      add_subdirectory(${child})
    endif()
  endforeach()
endfunction()
