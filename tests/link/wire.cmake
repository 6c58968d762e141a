# Phone wire format, message lists, receive parser and bus dispatch.
ostrelle_test(link_wire_test LABEL unit
              SOURCES wire_frame_test.cpp wire_body_test.cpp wire_parse_test.cpp
                      msg_list_test.cpp
              LIBS ostrelle_link)
ostrelle_test(link_dispatch_test LABEL integration SOURCES dispatch_test.cpp LIBS ostrelle_link)
