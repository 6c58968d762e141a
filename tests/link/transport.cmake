ostrelle_test(link_transport_unit_test LABEL unit SOURCES transport_certs_test.cpp
              discovery_codec_test.cpp LIBS ostrelle_link)
ostrelle_test(link_transport_test LABEL integration SOURCES transport_tls_test.cpp
              transport_tcp_test.cpp discovery_test.cpp LIBS ostrelle_link TIMEOUT 300)
