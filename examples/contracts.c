/* The places where the library does exactly what its contract says, which
 * is not always what a reader expects. Every case checks itself.
 *
 *   example_contracts
 *
 * Exit status: 0 when every case behaved as described, else the number of
 * the first case that did not. */
#define _GNU_SOURCE
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>

#include <database.h>
#include <pam_lib.h>
#include <util_linux.h>

static int db_find(void) {
  /* guide: db-find */
  DB *db = DB_Create(16);
  static char port[] = "port", bare[] = "bare";
  DB_Add(db, "eth0", 7, port);
  DB_Add(db, NULL, 9, bare);
  void *found = NULL;
  int with_key = DB_Find(db, "eth0", 7, &found);  /* 0 */
  int without = DB_Find(db, NULL, 7, &found);     /* -1: the string is part of the key */
  int bare_id = DB_Find(db, NULL, 9, &found);     /* 0: added without a string */
  DB_Destroy(db, NULL, NULL);
  /* guide end */
  return with_key == 0 && without == -1 && bare_id == 0;
}

static int config_line(void) {
  /* guide: config-line */
  static const char text[] = "# ports\nportal 8080\nport = 22\nport=23\n";
  FILE *f = fmemopen((void *)text, sizeof text - 1, "r");
  char *value = NULL;
  int32_t lines = 0;
  find_config_line(&value, &lines, "port", '=', f);  /* "8080": "portal" begins with "port" */
  int prefix = strcmp(value, "8080") == 0;
  free(value);  /* a new buffer every call, also after -1 */
  find_config_line(&value, &lines, "port", '=', f);  /* "=": the blank ends the key */
  int spaced = strcmp(value, "=") == 0;
  free(value);
  find_config_line(&value, &lines, "port", '=', f);  /* "23" */
  int plain = strcmp(value, "23") == 0;
  free(value);
  fclose(f);
  /* guide end */
  return prefix && spaced && plain && lines == 4;
}

static int ascii(void) {
  /* guide: ascii */
  int wire = is_ascii_7("a\tb");           /* 1: only bytes >= 0x80 fail */
  int printable = UTILS_is_ascii_7("a\tb"); /* 0: control characters fail too */
  /* guide end */
  return wire == 1 && printable == 0;
}

static int shell_output(void) {
  /* guide: shell-output */
  int32_t status = -1, size = -1;
  char *out = run_shell_cmnd("head -c 10000 /dev/zero | tr '\\0' x", &status, &size);
  /* size: 8192, the buffer's capacity; strlen(out): 8191, the rest is cut */
  size_t kept = out ? strlen(out) : 0;
  free(out);
  /* guide end */
  return size == 8192 && kept == 8191;
}

static int killed_command(void) {
  /* guide: killed */
  int r = system_unmasked("kill -TERM $$");  /* 0, as for success */
  int32_t status = 0;
  free(run_shell_cmnd("kill -TERM $$", &status, NULL));
  int killed = WIFSIGNALED(status);  /* the raw wait status tells */
  /* guide end */
  return r == 0 && killed;
}

int main(void) {
  int (*cases[])(void) = {db_find, config_line, ascii, shell_output, killed_command};
  for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
    if (!cases[i]()) {
      fprintf(stderr, "case %zu differs from the guide\n", i + 1);
      return (int)i + 1;
    }
  }
  printf("every case as the guide says\n");
  return 0;
}
