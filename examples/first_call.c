/* A host's first remote calls: connect to the reference daemon on its
 * socket, read the host name, have a request refused, and tell a daemon
 * that stopped answering from a daemon that answered no.
 *
 *   example_first_call [SOCKET]          SOCKET defaults to "/tmp/mgtd1"
 *
 * Exit status: 0 as expected, 1 no daemon, 2 an unexpected daemon error,
 * 3 the daemon did not answer in time. */
#define _GNU_SOURCE
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <pam_lib.h>

#include "connect_daemon.h"


/* guide: timeouts */
/* Bounds every wait for the daemon on sock: a receive or send that waits
 * longer than `seconds` fails, and with it the exchange. */
static int bound_waits(int sock, int seconds) {
  struct timeval limit = {.tv_sec = seconds, .tv_usec = 0};
  if (setsockopt(sock, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit) != 0) return -1;
  return setsockopt(sock, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
}
/* guide end */

/* guide: reconnect */
static const char *daemon_path;  /* where this host's daemon listens */
static int transport_failures;   /* exchanges that failed on the socket */

/* Called by the library after an exchange failed on the socket (or found
 * none), never after a daemon's error answer. The request is not repeated. */
static int reconnect(MSG *failed_request) {
  (void)failed_request;  /* freed by the library when the call returns */
  ++transport_failures;
  if (get_socket() >= 0) close(get_socket());
  int sock = connect_daemon(daemon_path);
  if (sock >= 0) bound_waits(sock, 2);
  set_socket(sock);  /* -1 until the daemon is back */
  return 0;
}
/* guide end */

/* guide: why-failed */
/* After a remote call returned -1: 3 when the daemon did not answer, else
 * the daemon's error word and its text. failures_before is the count of
 * transport failures taken before the call. */
static int why_failed(const char *call, int failures_before) {
  if (transport_failures != failures_before) {
    fprintf(stderr, "%s: the daemon did not answer\n", call);
    return 3;
  }
  int word = get_err();  /* read it first: every answered call replaces it */
  char text[DM_TEXT_SIZE] = "";
  if (DM_GetStrErr(word, sizeof text, text) == -1) snprintf(text, sizeof text, "error %d", word);
  fprintf(stderr, "%s: %s (word %d)\n", call, text, word);
  return 2;
}
/* guide end */

int main(int argc, char **argv) {
  daemon_path = argc > 1 ? argv[1] : "/tmp/mgtd1";

  /* guide: first-call */
  int sock = connect_daemon(daemon_path);
  if (sock < 0) {
    fprintf(stderr, "no daemon listens at %s\n", daemon_path);
    return 1;
  }
  bound_waits(sock, 2);
  set_socket(sock);               /* the library never registers one itself */
  set_client_id((int)getpid());   /* carried in every request */
  set_reconnect_func(reconnect);

  char host[DM_TEXT_SIZE];
  int before = transport_failures;
  if (DM_GetHostName(host, sizeof host) == -1) return why_failed("DM_GetHostName", before);
  printf("host name: %s\n", host);
  /* guide end */

  /* guide: daemon-error */
  char value[DM_TEXT_SIZE];
  before = transport_failures;
  int r = DM_GetParam("system.network.eth0.nosuch", sizeof value, value, 0);
  if (r == -1 && transport_failures == before)  /* answered: this call's word */
    printf("refused by the daemon: word %d\n", get_err());  /* 2: no such parameter */
  /* guide end */
  if (r != -1 || transport_failures != before || get_err() != 2) return why_failed("DM_GetParam", before);

  close(get_socket());
  return 0;
}
