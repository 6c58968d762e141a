// Discovery of the phone: it announces its IPv4 address in a 6-byte UDP
// datagram to the PC's signal port.
#pragma once

#include <cstddef>
#include <cstdint>

struct phone_conn;

constexpr size_t DISCOVERY_MSG_SIZE = 6;     // address (4) + checksum (2), network order
constexpr size_t DISCOVERY_RECV_SIZE = 100;  // bytes read per datagram
constexpr int DISCOVERY_WAIT_MS = 100;       // wait per loop: a stop is seen this fast

// Waits on g_config.signal_port for an announcement. 0 with the phone's
// address (host order) in *ip; -1 on a socket, bind or option failure or a
// bad checksum; -4 when conn->connect_exit is set (also on entry).
int get_ip_by_pc(uint32_t *ip, phone_conn *conn);

// The announcement for an address (host order).
void discovery_encode(uint32_t ip, uint8_t out[DISCOVERY_MSG_SIZE]);
// Checks an announcement: 0 with the address (host order) in *ip, -1 for a
// wrong length or checksum.
int discovery_decode(const uint8_t *msg, size_t len, uint32_t *ip);

// Sends the announcement of phone_ip to (dest_ip, port), both host order, as
// a phone does. Bytes sent or -1.
int discovery_announce(uint32_t dest_ip, int port, uint32_t phone_ip);
