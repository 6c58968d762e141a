# The phone simulator: in-process sessions, TLS, discovery, and the program.
ostrelle_test(phone_sim_handshake_test LABEL integration SOURCES phone_sim_handshake_test.cpp
              LIBS phone_sim_core)
ostrelle_test(phone_sim_transport_test LABEL integration SOURCES phone_sim_transport_test.cpp
              LIBS phone_sim_core)
ostrelle_test(phone_sim_program_test LABEL integration SOURCES phone_sim_program_test.cpp
              LIBS phone_sim_core)
add_dependencies(phone_sim_program_test phone-sim)
ostrelle_test(phone_sim_options_test LABEL unit SOURCES phone_sim_options_test.cpp
              LIBS phone_sim_core)
