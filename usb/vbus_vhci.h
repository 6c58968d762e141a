// Local attach through the kernel's vhci-hcd (vbus_vhci_create in vbus.h).
//
// vhci ports are numbered from 0; vbus ports from 1 (byte 0 of the port table
// is no port). vbus port i is vhci port i - 1.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "usb/vbus.h"

constexpr const char *VBUS_VHCI_SYSFS = "/sys/devices/platform/vhci_hcd.0";

// Fills the vbus port table from the text of the vhci status file: a port is
// free only when it is on the high-speed hub (the one that takes full-speed
// devices) and its state is "not connected"; every other byte is in use.
// Returns the number of free ports, or -1 when the text is not a status table.
int vbus_vhci_parse_status(const std::string &text, uint8_t status[VBUS_PORT_COUNT]);

// The line written to the attach file: "port sockfd devid speed".
std::string vbus_vhci_attach_line(int vhci_port, int sockfd, uint32_t devid, uint32_t speed);

// A vhci backend on another sysfs folder (tests use a fixture folder).
std::unique_ptr<vbus_backend> vbus_vhci_create_at(const std::string &sysfs_dir);
