// The bytes exchanged with the management daemon: encoding a request message
// into a request frame and decoding a result frame into the caller's buffers.
//
// 32-bit fields travel in the processor's order (the daemon runs on the same
// appliance); the 16-bit size of an encoded item is always high byte first.
#pragma once

#include <cstdint>

#include "pam_lib.h"

namespace pl {

// Length of an encoded item head: kind byte and 16-bit size.
inline constexpr int kItemHeadLen = 3;

// Encodes `msg` into `buf` (at least SERVER_BUFFER_SIZE bytes) under sequence
// number `seq`; also stores seq and total_len in the message header. Returns
// the frame length (a multiple of 4), or 0 when the message does not fit.
int PrepareSendMsg(MSG *msg, unsigned char *buf, uint32_t seq) noexcept;

// Copies result data into the buffers of the message's out items, in item
// order. Returns 0, or -1 when the data does not satisfy the items (items
// served before the failure keep their copy).
int RetrieveParams(MSG *msg, const unsigned char *data, int data_len) noexcept;

// Serves a result frame: stores its error word for get_err, decodes the
// current chunk into the out items when the call succeeded. Returns the
// frame's result word, or -1.
int handle_cmd_result(REPLY *frame, MSG *msg) noexcept;

}  // namespace pl
