// What the virtual USB device needs of a bus: find and open it, see which
// ports are free, plug the device in, then exchange one PDU at a time.
//
// The core works on PDUs in host byte order. Each backend owns its wire
// encoding (USB/IP big-endian for the export server and vhci attach; a
// Windows bus driver would use its own little-endian replies).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

// PDU commands (the USB/IP numbering).
constexpr uint32_t VBUS_CMD_SUBMIT = 1;
constexpr uint32_t VBUS_CMD_UNLINK = 2;
constexpr uint32_t VBUS_RET_SUBMIT = 3;
constexpr uint32_t VBUS_RET_UNLINK = 4;

constexpr uint32_t VBUS_DIR_OUT = 0;
constexpr uint32_t VBUS_DIR_IN = 1;

constexpr int VBUS_PORT_COUNT = 128;        // byte i != 0: port i in use; byte 0 is no port
constexpr int VBUS_MAX_ISO_PACKETS = 1024;  // cap on number_of_packets from a peer
constexpr size_t VBUS_MAX_PAYLOAD = 1000000;

// The 48-byte PDU header, host order. Field meaning differs between a request
// (bus -> device) and a reply (device -> bus) as the comments say.
struct vbus_pdu_header {
    uint32_t command;          // request: 1 submit, 2 unlink; reply: 3 / 4
    uint32_t seqnum;           // echoed in the reply
    uint32_t devid;            // 0 in a reply
    uint32_t direction;        // 0 OUT, 1 IN; echoed
    uint32_t ep;               // endpoint 0..15; echoed
    uint32_t flags_status;     // submit: transfer flags; unlink: seqnum to unlink; reply: status
    uint32_t length;           // submit: host buffer length; reply: actual length
    uint32_t start_frame;      // reply: 0
    uint32_t packets;          // number of isochronous packets (0 when not iso; 0xffffffff from a
                               // Linux host for non-iso is normalised to 0 by the backend)
    uint32_t interval_errors;  // submit: interval; reply: error count
    uint8_t setup[8];          // control only, USB byte order; zero in a reply
};
static_assert(sizeof(vbus_pdu_header) == 48, "PDU header is 48 bytes");

// One isochronous packet descriptor, host order.
struct vbus_iso_desc {
    uint32_t offset;
    uint32_t length;
    uint32_t actual_length;
    uint32_t status;
};
static_assert(sizeof(vbus_iso_desc) == 16, "iso descriptor is 16 bytes");

// Attach request for a free port.
struct vbus_plugin_info {
    uint32_t devid = 0x00010001;  // bus 1 << 16 | device 1
    uint16_t vid = 0;
    uint16_t pid = 0;
    uint16_t bcd_device = 0;
    uint8_t speed = 2;  // full speed
    uint8_t interfaces = 4;
    uint8_t cls = 0, subclass = 0, protocol = 0;
    uint8_t port = 0;
};

// One PDU as read from the bus: header, then OUT data (data_len bytes), then
// the isochronous descriptors (hdr.packets of them). The backend has checked
// every length against what it received before handing it over.
struct vbus_pdu {
    vbus_pdu_header hdr;
    const uint8_t *data;  // OUT payload, data_len bytes (may be null when 0)
    size_t data_len;
    const vbus_iso_desc *iso;  // hdr.packets descriptors (null when 0)
};

// Everything the plug-in needs to describe the device to a USB/IP importer
// (devlist reply): ids, speed, configuration, and its interfaces' class triples.
struct vbus_device_summary {
    uint16_t vid = 0, pid = 0, bcd_device = 0;
    uint8_t dev_class = 0, dev_subclass = 0, dev_protocol = 0;
    uint8_t configuration_value = 1, num_configurations = 1, num_interfaces = 4;
    struct {
        uint8_t cls, subclass, protocol;
    } ifaces[8] = {};
};

class vbus_backend {
  public:
    virtual ~vbus_backend() = default;

    // Finds and opens the bus. 0 or -1 (logged by the backend).
    virtual int open() = 0;
    // Fills 128 bytes: byte i != 0 when port i is in use. 0 or -1.
    virtual int port_status(uint8_t status[VBUS_PORT_COUNT]) = 0;
    // Attaches the device at info.port. 0 or -1.
    virtual int plug_in(const vbus_plugin_info &info, const vbus_device_summary &summary) = 0;
    // Blocks until one whole PDU has arrived (or the bus is closed / the
    // timeout passes). The PDU's pointers stay valid until the next read.
    // Returns 1 with a PDU, 0 on timeout, -1 when the bus is closed or broken.
    virtual int read_pdu(vbus_pdu *pdu, int timeout_ms) = 0;
    // Sends one reply: header, IN payload, iso descriptors. Serialised by the
    // caller's io lock. 0 or -1.
    virtual int write_reply(const vbus_pdu_header &hdr, const uint8_t *payload, size_t len,
                            const vbus_iso_desc *iso, uint32_t packets) = 0;
    // Detaches the device and closes the bus; a blocked read_pdu returns -1.
    virtual void close() = 0;
};

// Backends: "usbip" (export server on bind:port) and "vhci" (local attach).
std::unique_ptr<vbus_backend> vbus_usbip_create(const std::string &bind_addr, int port);
std::unique_ptr<vbus_backend> vbus_vhci_create();
// The backend named by the configuration (VbusBackend, UsbipBind, UsbipPort).
std::unique_ptr<vbus_backend> vbus_backend_create(const std::string &name,
                                                  const std::string &bind_addr, int port);
