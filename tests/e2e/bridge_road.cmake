# The whole road: phone-sim <-> RTP/SRTP <-> ostrelle --headless <-> USB/IP <-> usb-host-emu.
if(TARGET phone-sim AND TARGET usb-host-emu)
  ostrelle_test(e2e_bridge_road_test LABEL e2e TIMEOUT 300
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/bridge_road_test.cpp ${CMAKE_CURRENT_LIST_DIR}/child_process.cpp)
  add_dependencies(e2e_bridge_road_test ostrelle phone-sim usb-host-emu demo-wav-check)
endif()
