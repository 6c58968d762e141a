ostrelle_test(link_bus_test LABEL unit SOURCES event_bus_test.cpp timer_container_test.cpp
              LIBS ostrelle_bus)
