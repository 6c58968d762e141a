# The latency benchmark's measuring parts: pulse onsets, pairing, and a short
# run of the driver through the three real programs in both host shapes. The
# driver is built here too when the benchmarks are off (the asan preset).
if(NOT OSTRELLE_BENCH)
  add_subdirectory(${PROJECT_SOURCE_DIR}/bench/latency ${CMAKE_BINARY_DIR}/bench/latency)
endif()
ostrelle_test(e2e_latency_test LABEL e2e
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/latency_test.cpp LIBS bench_latency_lib pulse_mark phone_sim_media
  TIMEOUT 180)
add_dependencies(e2e_latency_test bench_latency)
