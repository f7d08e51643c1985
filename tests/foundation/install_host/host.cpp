#include <pam_lib.h>
#include <database.h>
#include <linked_list.h>
#include <util_linux.h>

#include <cstdlib>
#include <memory>

int main() {
  std::unique_ptr<MSG, decltype(&std::free)> m(CreateMsg(14), &std::free);
  return m && m->hdr.magic == MSG_MAGIC && is_ascii_7("plain") == 1 ? 0 : 1;
}
