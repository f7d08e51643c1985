// Shell commands and processes: internal declarations.
#pragma once

#include <string>

namespace pl {

// Runs a composed command through system_unmasked and returns its result.
int run_command(const std::string &command) noexcept;

}  // namespace pl
