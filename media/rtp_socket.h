// The UDP socket of one RTP stream: IPv4, bound to all local addresses,
// non-blocking. Failures return -1 with errno kept for the caller's log line.
#pragma once

#include <netinet/in.h>

#include <cstddef>
#include <cstdint>

constexpr int RTP_SOCKET_NONE = -1;

int rtp_socket_create();  // descriptor, or -1
int rtp_socket_bind_any(int fd, int port);
int rtp_socket_set_nonblocking(int fd);
// Local port the socket is bound to, or -1.
int rtp_socket_local_port(int fd);
void rtp_socket_close(int fd);

// Bytes sent, or -1.
int rtp_socket_send(int fd, const void *buf, size_t len, const sockaddr_in &to);

// Result of one read: the datagram's length; 0 when nothing is waiting;
// RTP_SOCKET_DROPPED when the datagram was empty or larger than cap (it is
// consumed); -1 on another error.
constexpr int RTP_SOCKET_DROPPED = -2;
int rtp_socket_recv(int fd, void *buf, size_t cap, sockaddr_in *from);

// "a.b.c.d" of an IPv4 address into out (at least INET_ADDRSTRLEN bytes).
const char *rtp_addr_text(const sockaddr_in &addr, char *out, size_t size);
