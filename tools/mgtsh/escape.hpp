// Text from the daemon on the administrator's terminal. Values, names and
// messages come from another program and must not drive the terminal: C0
// controls, DEL, C1 controls and bytes that are no UTF-8 are shown escaped
// (\x1b, \u009b), while UTF-8 text stays as it is.
#pragma once

#include <string>
#include <string_view>

namespace mgtsh {

// The text as it may be shown. stream: output that is printed as it comes,
// where newline and tab keep their meaning.
std::string shown(std::string_view text, bool stream = false);

// The same for output that arrives in pieces: a UTF-8 sequence cut at the end
// of one piece is kept in `carry` and completed by the next (pass an empty
// piece to flush what is left).
std::string shown_piece(std::string_view piece, std::string &carry);

}  // namespace mgtsh
