/* Compiles all public headers as C and calls one function of each area. */
#include <stdlib.h>
#include "pam_lib.h"
#include "database.h"
#include "linked_list.h"
#include "util_linux.h"

int main(void) {
  char buf[8];
  xstrncpy(buf, "abcdefghij", sizeof buf);
  return (get_err() == 0 && buf[7] == '\0') ? 0 : 1;
}
