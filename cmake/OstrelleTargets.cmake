# Small helpers so that every subsystem and test folder has the same shape.

# ostrelle_library(<target> DIR <folder> [LIBS ...]) -- one static library from
# every .cpp in the folder (not recursive).
function(ostrelle_library target)
  cmake_parse_arguments(ARG "" "DIR" "LIBS;EXCLUDE" ${ARGN})
  file(GLOB srcs CONFIGURE_DEPENDS ${ARG_DIR}/*.cpp ${ARG_DIR}/*.c)
  foreach(ex ${ARG_EXCLUDE})
    list(FILTER srcs EXCLUDE REGEX "${ex}")
  endforeach()
  if(srcs)
    add_library(${target} STATIC ${srcs})
    target_include_directories(${target} PUBLIC ${PROJECT_SOURCE_DIR} ${PROJECT_BINARY_DIR}/generated)
    target_link_libraries(${target} PUBLIC ${ARG_LIBS})
  else()
    # Nothing built yet: an interface target keeps dependents linking.
    add_library(${target} INTERFACE)
    target_include_directories(${target} INTERFACE ${PROJECT_SOURCE_DIR} ${PROJECT_BINARY_DIR}/generated)
    target_link_libraries(${target} INTERFACE ${ARG_LIBS})
  endif()
endfunction()

# ostrelle_test(<name> LABEL <unit|integration|e2e> SOURCES ... [LIBS ...] [TIMEOUT s])
# A GoogleTest executable registered as one CTest test with the given label.
function(ostrelle_test name)
  cmake_parse_arguments(ARG "" "LABEL;TIMEOUT" "SOURCES;LIBS" ${ARGN})
  if(NOT ARG_TIMEOUT)
    set(ARG_TIMEOUT 120)
  endif()
  add_executable(${name} ${ARG_SOURCES})
  set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} GTest::gtest GTest::gmock GTest::gtest_main Threads::Threads)
  target_compile_definitions(${name} PRIVATE OSTRELLE_SOURCE_DIR="${PROJECT_SOURCE_DIR}"
                                             OSTRELLE_BIN_DIR="${CMAKE_BINARY_DIR}/bin")
  add_test(NAME ${name} COMMAND ${name})
  set_tests_properties(${name} PROPERTIES LABELS "${ARG_LABEL}" TIMEOUT ${ARG_TIMEOUT})
  if(ARG_LABEL STREQUAL "e2e")
    # Whole processes streaming paced audio: nothing else runs beside them.
    set_tests_properties(${name} PROPERTIES RUN_SERIAL TRUE)
  endif()
endfunction()

# Adds every subfolder of the current folder that has a CMakeLists.txt.
function(ostrelle_add_subfolders)
  file(GLOB dirs LIST_DIRECTORIES true ${CMAKE_CURRENT_SOURCE_DIR}/*)
  foreach(dir ${dirs})
    if(IS_DIRECTORY ${dir} AND EXISTS ${dir}/CMakeLists.txt)
      add_subdirectory(${dir})
    endif()
  endforeach()
endfunction()

# Includes every *.cmake fragment of the current folder, so that separate
# pieces of work can register their tests without sharing one file.
macro(ostrelle_include_fragments)
  file(GLOB _fragments CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cmake)
  foreach(_f ${_fragments})
    include(${_f})
  endforeach()
endmacro()
