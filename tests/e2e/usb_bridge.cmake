# A real device, created by the lifecycle, plugged into the USB/IP export
# server and streamed by usb-host-emu in both host shapes.
ostrelle_test(e2e_usb_bridge_test LABEL e2e
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/usb_bridge_test.cpp LIBS ostrelle_usb ostrelle_platform
  TIMEOUT 180)
add_dependencies(e2e_usb_bridge_test usb-host-emu)
