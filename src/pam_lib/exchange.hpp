// One remote call from request to result: send the encoded request, then
// serve the daemon's reply frames (print, XML, input, print end, run command)
// until the result frame arrives.
#pragma once

#include <cstdint>

#include "pam_lib.h"

namespace pl {

// The exchange itself on `sock`; every wait is bounded by `timeout_ms` (0: no
// limit). Returns the result word, or -1. Does not free `msg`.
int SendAndRcvSocketWithTimeout(int sock, MSG *msg, int timeout_ms) noexcept;

// Serves REPLY_INPUT: asks the get_input_func hook for a line and sends the
// input reply on the client context's socket. 0, or -1 when nothing was sent.
int get_input_line(REPLY *frame) noexcept;

// Serves REPLY_RUN_CMD through the run_cmd_function hook; a command whose
// frame goes on past the chunk without a NUL is not run (debug_print says
// so). Always 0.
int run_cmd_line(REPLY *frame) noexcept;

namespace testing {
// Prefix of the XML output file used instead of "/mnt/temp/xml" (tests
// only; nullptr restores it). The string must stay alive while in use.
void set_xml_base(const char *prefix) noexcept;
// The number the next exchange takes, and a way to set it.
uint32_t next_sequence() noexcept;
void set_next_sequence(uint32_t seq) noexcept;
}  // namespace testing

}  // namespace pl
