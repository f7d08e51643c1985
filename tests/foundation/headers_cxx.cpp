// Compiles all public headers as C++ (in the other order) and calls into them.
#include "util_linux.h"
#include "linked_list.h"
#include "database.h"
#include "pam_lib.h"

static_assert(sizeof(MSG_HDR) == 56, "request header is 56 bytes on the wire");
static_assert(sizeof(REPLY_HDR) == 48, "reply header is 48 bytes on the wire");
static_assert(noexcept(get_socket()), "exported functions are noexcept");

int main() { return get_privilege() == -1 ? 0 : 1; }
