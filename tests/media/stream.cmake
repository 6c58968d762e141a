# SRTP, capture files and audio stream control.
ostrelle_test(srtp_policy_test LABEL unit SOURCES ${CMAKE_CURRENT_LIST_DIR}/srtp_policy_test.cpp LIBS ostrelle_media)
ostrelle_test(srtp_kit_test LABEL unit SOURCES ${CMAKE_CURRENT_LIST_DIR}/srtp_kit_test.cpp LIBS ostrelle_media)
ostrelle_test(capture_files_test LABEL unit SOURCES ${CMAKE_CURRENT_LIST_DIR}/capture_files_test.cpp LIBS ostrelle_media)
ostrelle_test(stream_control_test LABEL integration SOURCES ${CMAKE_CURRENT_LIST_DIR}/stream_control_test.cpp LIBS ostrelle_media)
ostrelle_test(stream_receive_test LABEL integration SOURCES ${CMAKE_CURRENT_LIST_DIR}/stream_receive_test.cpp LIBS ostrelle_media)
ostrelle_test(os_timer_test LABEL unit SOURCES ${CMAKE_CURRENT_LIST_DIR}/os_timer_test.cpp LIBS ostrelle_platform_os)
ostrelle_test(stream_audio_test LABEL integration SOURCES ${CMAKE_CURRENT_LIST_DIR}/stream_audio_test.cpp LIBS ostrelle_media phone_sim_media)
ostrelle_test(phone_media_test LABEL unit SOURCES ${CMAKE_CURRENT_LIST_DIR}/phone_media_test.cpp LIBS ostrelle_media phone_sim_media)
