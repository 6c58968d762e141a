# Paced isochronous audio, HID call control, lifecycle and the session seam.
ostrelle_test(usb_bridge_pacing_test LABEL unit
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/bridge_pacing_test.cpp LIBS ostrelle_usb)
ostrelle_test(usb_bridge_hid_test LABEL unit
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/bridge_hid_test.cpp LIBS ostrelle_usb)
ostrelle_test(usb_bridge_lifecycle_test LABEL integration
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/bridge_lifecycle_test.cpp LIBS ostrelle_usb ostrelle_link
  TIMEOUT 120)
