# usb-host-emu driving the device through the USB/IP export server.
ostrelle_test(e2e_usb_host_emu_test LABEL e2e
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/usb_host_emu_test.cpp LIBS ostrelle_usb ostrelle_bus TIMEOUT 120)
add_dependencies(e2e_usb_host_emu_test usb-host-emu)
