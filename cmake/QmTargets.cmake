# Shared helpers for the per-folder CMakeLists files.

# Strict warnings for our own code only (third-party code is built without).
function(qm_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Werror -Wshadow
                         -Wnon-virtual-dtor -Wno-unused-parameter
                         # GCC 12 reports false -Wrestrict on string concatenation at -O2+.
                         $<$<CXX_COMPILER_ID:GNU>:-Wno-restrict>)
endfunction()

# qm_library(name SOURCES ... [DEPS ...]): one library target per folder.
function(qm_library name)
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPS" ${ARGN})
  add_library(${name} STATIC ${ARG_SOURCES})
  target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR})
  target_link_libraries(${name} PUBLIC ${ARG_DEPS})
  qm_warnings(${name})
endfunction()

# qm_gtest(name SOURCES ... [DEPS ...] [LABELS ...]): one test binary, one
# CTest entry. Cross builds run it through CMAKE_CROSSCOMPILING_EMULATOR
# (32-bit wine or wine64), which add_test applies by itself.
function(qm_gtest name)
  cmake_parse_arguments(ARG "" "TIMEOUT" "SOURCES;DEPS;LABELS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_DEPS} qm_test_support GTest::gtest GTest::gtest_main
                        GTest::gmock)
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR})
  qm_warnings(${name})
  add_test(NAME ${name} COMMAND ${name})
  set_tests_properties(${name} PROPERTIES
    ENVIRONMENT "QM_SOURCE_DIR=${PROJECT_SOURCE_DIR};QM_BINARY_DIR=${PROJECT_BINARY_DIR}")
  if(ARG_TIMEOUT)
    set_tests_properties(${name} PROPERTIES TIMEOUT ${ARG_TIMEOUT})
  else()
    set_tests_properties(${name} PROPERTIES TIMEOUT 600)
  endif()
  if(ARG_LABELS)
    set_tests_properties(${name} PROPERTIES LABELS "${ARG_LABELS}")
  endif()
endfunction()

# Lists the *.cc files of a folder (not recursive); each folder owns its list.
function(qm_sources out dir)
  file(GLOB files CONFIGURE_DEPENDS ${dir}/*.cc)
  set(${out} ${files} PARENT_SCOPE)
endfunction()

# Adds every subfolder of the current folder that has a CMakeLists.txt; each
# has one owner, so a new piece needs no edit of its parent.
function(qm_add_subfolders)
  file(GLOB children LIST_DIRECTORIES true RELATIVE ${CMAKE_CURRENT_SOURCE_DIR}
       ${CMAKE_CURRENT_SOURCE_DIR}/*)
  list(SORT children)
  foreach(child IN LISTS children)
    if(EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/${child}/CMakeLists.txt)
      add_subdirectory(${child})
    endif()
  endforeach()
endfunction()
