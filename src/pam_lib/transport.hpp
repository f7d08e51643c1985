// The stream connection to the management daemon: connecting, sends and
// receives bounded by a time-out in milliseconds (0: the plain blocking
// call), and the reply framing that hands a reply frame out one chunk of at
// most SERVER_BUFFER_SIZE data bytes at a time.
#pragma once

#include <cstdint>
#include <sys/socket.h>

#include "pam_lib.h"

namespace pl {

// A connected AF_UNIX stream socket to `path`, or -1.
int client_open_sock(const char *path) noexcept;

// Connects `sock` to `addr`; with a time-out the connect is non-blocking and
// bounded by it. Returns the socket, or -1 after closing it. Diagnostics go to
// the debug_print hook only.
int connect_with_timeout(int sock, const struct sockaddr *addr, socklen_t addrlen,
                         int timeout_ms) noexcept;

// Receives into buf. Time-out 0: one recv with `flags`, result unchanged.
// Otherwise every wait gets the whole time-out, and only MSG_WAITALL in
// `flags` is looked at (wait for the whole length). Returns the bytes
// received, 0 on time-out, or the failed receive's result (0 or less).
int timed_recv(int sock, void *buf, int len, int flags, int timeout_ms) noexcept;

// Reads 48-byte blocks until one carries MSG_MAGIC and `seq`. 0, or -1 when a
// read fails or times out.
int get_rcv_header(int sock, REPLY_HDR *hdr, int timeout_ms, uint32_t seq) noexcept;

// Delivers the next chunk of the exchange's reply frames into `area` (header
// and data). `*new_frame` is 1 when the next read starts with a header, 0
// while the current frame has data to come; `*current` is set to the frame.
// 0, or -1 when nothing could be read.
int get_rcv_buf(int sock, REPLY *area, REPLY **current, int *new_frame, int timeout_ms,
                uint32_t seq) noexcept;

// Reads and drops the data of the current frame that has not been delivered
// yet (the area's data part is used as scratch), so the next read starts at a
// header. 0, or -1 when the rest could not be read.
int drain_frame(int sock, REPLY *area, int *new_frame, int timeout_ms) noexcept;

// Completes the current chunk of a long frame up to `want` data bytes (at most
// SERVER_BUFFER_SIZE and what is left of the frame). 0, or -1.
int fill_chunk(int sock, REPLY *area, int *new_frame, int want, int timeout_ms) noexcept;

namespace testing {
// Endpoints used instead of "/tmp/mgtd1", "/tmp/mgtd" and TCP port 10002
// (tests only). nullptr or 0 restores the default of that endpoint.
void set_endpoints(const char *primary_path, const char *fallback_path,
                   uint16_t tcp_port) noexcept;
}  // namespace testing

}  // namespace pl
