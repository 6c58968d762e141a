# Small helpers so that every subsystem and test folder has the same shape.

# ostrelle_library(<target> DIR <folder> [LIBS ...]) -- one static library from
# every .cpp in the folder (not recursive).
function(ostrelle_library target)
  cmake_parse_arguments(ARG "" "DIR" "LIBS;EXCLUDE" ${ARGN})
  file(GLOB srcs CONFIGURE_DEPENDS ${ARG_DIR}/*.cpp ${ARG_DIR}/*.c)
  foreach(ex ${ARG_EXCLUDE})
    list(FILTER srcs EXCLUDE REGEX "${ex}")
  endforeach()
  add_library(${target} STATIC ${srcs})
  target_include_directories(${target} PUBLIC ${PROJECT_SOURCE_DIR} ${PROJECT_BINARY_DIR}/generated)
  target_link_libraries(${target} PUBLIC ${ARG_LIBS})
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
endfunction()
