/* The five host hooks at work: a command that prints, one that asks for a
 * line, one whose result is XML, read back with expat_XMLParse.
 *
 *   example_hooks SOCKET < answers        one answer per line on stdin
 *
 * Exit status: 0 as expected, 1 no daemon, 2 a command failed. */
#define _GNU_SOURCE
#include <signal.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <pam_lib.h>
#include <util_linux.h>

#include "connect_daemon.h"

/* guide: read-line */
/* One line from standard input without its newline, malloc()ed, or NULL at
 * the end of the input. With no_echo on a terminal, typing is not shown. */
static char *read_line(const char *prompt, int no_echo) {
  fputs(prompt, stdout);
  fflush(stdout);
  struct termios saved;
  int hide = no_echo && isatty(STDIN_FILENO) && tcgetattr(STDIN_FILENO, &saved) == 0;
  if (hide) {
    struct termios quiet = saved;
    quiet.c_lflag &= ~(tcflag_t)ECHO;
    tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
  }
  char *line = NULL;
  size_t capacity = 0;
  ssize_t n = getline(&line, &capacity, stdin);
  if (hide) {
    tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
    fputc('\n', stdout);
  }
  if (n < 0) {
    free(line);
    return NULL;
  }
  if (n > 0 && line[n - 1] == '\n') line[n - 1] = '\0';
  return line;
}
/* guide end */

/* guide: hooks */
/* Printed output, chunk by chunk: frame->data holds frame->hdr.chunk_len
 * bytes, not NUL-terminated. A stream opened into *pipe_stream (a pager)
 * is closed by the library at the print end or when the call returns. */
static int print_out(REPLY *frame, FILE **pipe_stream) {
  (void)pipe_stream;
  fwrite(frame->data, 1, (size_t)frame->hdr.chunk_len, stdout);
  fflush(stdout);
  return 0;
}

/* A prompt: value 1 asks for a secret (the reference daemon's meaning).
 * The library frees the line; NULL is sent as an empty line. */
static char *get_input(const char *prompt, int value) {
  return read_line(prompt, value == 1);
}

/* A command the daemon runs on the client's side. */
static int run_cmd(const char *command) {
  return system_unmasked(command);  /* not system(): see "Signals" */
}

static int debug_print(const char *fmt, ...) {
  va_list args;
  va_start(args, fmt);
  int n = vfprintf(stderr, fmt, args);
  va_end(args);
  return n;
}
/* guide end */

/* guide: xml-record */
/* Called by expat_XMLParse once per <entity> record. */
static int count_entity(XmlParseCtx *ctx, uintptr_t arg) {
  const char *info = ctx->field_values[0];  /* NULL: no <info> in the record */
  if (info) ++*(int *)arg;
  return 0;
}
/* guide end */

int main(int argc, char **argv) {
  if (argc < 2) {
    fprintf(stderr, "usage: example_hooks SOCKET\n");
    return 1;
  }
  /* guide: signals */
  sigset_t pipe_only;  /* a pager that quits early must not end the host */
  sigemptyset(&pipe_only);
  sigaddset(&pipe_only, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &pipe_only, NULL);
  /* guide end */

  int sock = connect_daemon(argv[1]);
  if (sock < 0) return 1;
  set_socket(sock);
  set_client_id((int)getpid());

  /* guide: install-hooks */
  set_print_out(print_out);
  set_get_input_func(get_input);
  set_run_cmd_function(run_cmd);
  if (getenv("HOST_TRACE")) set_debug_print(debug_print);  /* NULL removes a hook */
  /* guide end */

  /* guide: command */
  set_privelege(2);  /* an operator; after a login, the user's own level */
  if (CMD_ExecCommand(-1, "show-version", "") == -1 || CMD_ExecCommand(-1, "ping", "") == -1) {
    fprintf(stderr, "command failed: word %d\n", get_err());
    return 2;
  }
  /* guide end */

  /* guide: xml-result */
  char xml_file[256];  /* copied: the name's buffer is rewritten by each call */
  snprintf(xml_file, sizeof xml_file, "%s", GetXMLFileName());
  unlink(xml_file);  /* what is there afterwards is this command's */
  if (CMD_ExecCommand(-1, "export-config", "") == -1) return 2;
  if (access(xml_file, R_OK) == 0) {
    const char *fields[] = {"info"};
    int entities = 0;
    if (expat_XMLParse(xml_file, fields, 1, "entity", count_entity, (uintptr_t)&entities) == 0)
      printf("XML result: %d entities with information\n", entities);
    else
      printf("XML result in %s not parsed (syslog says why)\n", xml_file);
    unlink(xml_file);  /* the library leaves it */
  } else {
    printf("no XML result in %s (does its directory exist?)\n", xml_file);
  }
  /* guide end */

  close(sock);
  return 0;
}
