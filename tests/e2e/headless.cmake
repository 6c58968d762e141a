# ostrelle --headless against phone-sim, as whole processes.
if(TARGET phone-sim)
  ostrelle_test(e2e_headless_test LABEL e2e TIMEOUT 240
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/headless_test.cpp ${CMAKE_CURRENT_LIST_DIR}/child_process.cpp)
  add_dependencies(e2e_headless_test ostrelle phone-sim)
endif()
