#include <stdlib.h>
#include <pam_lib.h>
#include <database.h>
#include <linked_list.h>
#include <util_linux.h>

int main(void) {
  MSG *m = CreateMsg(14);
  if (!m) return 1;
  AddIntToMsg(m, 1);
  int ok = m->hdr.item_count == 1 && get_socket() == -1 && stricmp("ABC", "abc") == 0;
  free(m);
  return ok ? 0 : 2;
}
