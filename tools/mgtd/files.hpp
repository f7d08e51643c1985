// The files the daemon writes, written so that nobody can redirect them: no
// symbolic link is followed, a file someone else placed is refused, and a
// replaced file is whole before and after a crash at any moment.
#pragma once

#include <string>
#include <string_view>

namespace mgtd {

// Appends one line to a log file (created with mode 0600). Refuses a
// symbolic link, anything but a regular file, a file owned by another user
// and one with further hard links.
bool append_private(const std::string &path, std::string_view line, std::string &error);

// Replaces path's content: a temporary file created exclusively in the same
// directory, written, flushed, renamed over path, then the directory
// flushed. A symbolic link at path is replaced, never followed.
bool replace_private(const std::string &path, std::string_view content, std::string &error);

// Reads a regular file without following a link. missing is set when there
// is none.
bool read_private(const std::string &path, std::string &content, bool &missing, std::string &error);

}  // namespace mgtd
