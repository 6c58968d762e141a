# vbus backends: USB/IP wire encoding, export server, vhci attach.
ostrelle_test(usb_vbus_wire_test LABEL unit SOURCES vbus_wire_test.cpp LIBS ostrelle_usb)
ostrelle_test(usb_vbus_usbip_test LABEL integration SOURCES vbus_usbip_test.cpp LIBS ostrelle_usb)
ostrelle_test(usb_vbus_vhci_test LABEL unit SOURCES vbus_vhci_test.cpp LIBS ostrelle_usb)
