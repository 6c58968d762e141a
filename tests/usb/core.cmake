# Virtual USB device core: descriptors, request handling, queues and clocks.
ostrelle_test(usb_descriptors_test LABEL unit
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/descriptors_test.cpp LIBS ostrelle_usb)
ostrelle_test(usb_pacing_queue_test LABEL unit
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/pacing_queue_test.cpp LIBS ostrelle_usb)
ostrelle_test(usb_requests_test LABEL unit
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/requests_test.cpp LIBS ostrelle_usb)
ostrelle_test(usb_request_loop_test LABEL integration
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/request_loop_test.cpp LIBS ostrelle_usb)
