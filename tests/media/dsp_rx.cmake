# Receive engine and jitter buffer of libdsp.
ostrelle_test(rx_rtp_test LABEL unit SOURCES ${CMAKE_CURRENT_LIST_DIR}/rx_rtp_test.cpp LIBS ostrelle_dsp)
ostrelle_test(jb_packet_buffer_test LABEL unit
              SOURCES ${CMAKE_CURRENT_LIST_DIR}/jb_packet_buffer_test.cpp LIBS ostrelle_dsp)
ostrelle_test(jb_delay_manager_test LABEL unit
              SOURCES ${CMAKE_CURRENT_LIST_DIR}/jb_delay_manager_test.cpp LIBS ostrelle_dsp)
ostrelle_test(jb_decision_test LABEL unit
              SOURCES ${CMAKE_CURRENT_LIST_DIR}/jb_decision_test.cpp LIBS ostrelle_dsp)
ostrelle_test(jb_signal_test LABEL unit
              SOURCES ${CMAKE_CURRENT_LIST_DIR}/jb_signal_test.cpp LIBS ostrelle_dsp)
ostrelle_test(rx_engine_test LABEL unit
              SOURCES ${CMAKE_CURRENT_LIST_DIR}/rx_engine_test.cpp LIBS ostrelle_dsp)
