ostrelle_test(link_session_test LABEL integration TIMEOUT 180
              SOURCES session_test.cpp fake_phone.cpp device_double.cpp LIBS ostrelle_link)
