/* Walks the daemon's entity tree and prints it as JSON, then walks it from
 * two threads at once, each holding the host's lock across a whole walk.
 *
 *   example_walk SOCKET
 *
 * Exit status: 0 as expected, 1 no daemon, 2 a walk failed or came out
 * different in a thread. */
#define _GNU_SOURCE
#include <pthread.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <pam_lib.h>

#include "connect_daemon.h"

/* Names in the model are plain text; quotes and backslashes are escaped
 * all the same, control characters dropped. */
static void json_string(FILE *out, const char *text) {
  fputc('"', out);
  for (const char *p = text; *p; ++p) {
    if (*p == '"' || *p == '\\') fputc('\\', out);
    if ((unsigned char)*p >= 0x20) fputc(*p, out);
  }
  fputc('"', out);
}

/* guide: walk */
/* Prints entity `handle`, its plain parameters and its children as JSON.
 * Returns the number of entities printed, or -1. The daemon keeps the
 * position of each walk (per connection and entity): the caller holds the
 * host's daemon lock across the whole walk. */
static int walk(int handle, FILE *out) {
  char name[DM_NAME_SIZE], param[DM_NAME_SIZE];
  if (DM_GetEntityName(handle, name) == -1) return -1;
  fputs("{\"name\": ", out);
  json_string(out, name);
  fprintf(out, ", \"hidden\": %s, \"params\": [", DM_EntityHidden(handle) == 1 ? "true" : "false");

  /* type: 1 integer, 2 string, 3 enumeration; count: plain parameters */
  int type = 0, count = 0, n = 0;
  if (DM_GetFirstParam(handle, param, &type, &count) == 0) {
    do {  /* full names: "system.network.eth0.mtu" */
      fputs(n++ ? ", " : "", out);
      json_string(out, param);
    } while (DM_GetNextParam(handle, param, &type) == 0);
  }
  if (get_err() != 6) return -1;  /* 6: End of list, the walk is over */

  fputs("], \"children\": [", out);
  int entities = 1, child = 0, children = 0;
  if (DM_GetEntityFirstChild(handle, &child, &children) == 0) {
    n = 0;
    do {
      fputs(n++ ? ", " : "", out);
      int below = walk(child, out);
      if (below < 0) return -1;
      entities += below;
    } while (DM_GetEntityNextChild(handle, &child) == 0);
  }
  if (get_err() != 6) return -1;
  fputs("]}", out);
  return entities;
}
/* guide end */

/* guide: lock */
static pthread_mutex_t daemon_lock = PTHREAD_MUTEX_INITIALIZER;

/* One whole walk under the lock: no other thread's request may come
 * between its calls, and get_err() stays this thread's until unlocked. */
static int locked_walk(FILE *out) {
  pthread_mutex_lock(&daemon_lock);
  int top = -1, entities = -1;
  if (DM_EntityFind("", &top) == 0) entities = walk(top, out);
  pthread_mutex_unlock(&daemon_lock);
  return entities;
}
/* guide end */

static int expected_entities;

static void *walker(void *arg) {
  (void)arg;
  FILE *sink = fopen("/dev/null", "w");
  if (!sink) return (void *)1;
  long bad = 0;
  for (int i = 0; i < 20; ++i) bad += locked_walk(sink) != expected_entities;
  fclose(sink);
  return (void *)bad;
}

int main(int argc, char **argv) {
  if (argc < 2) {
    fprintf(stderr, "usage: example_walk SOCKET\n");
    return 1;
  }
  int sock = connect_daemon(argv[1]);
  if (sock < 0) return 1;
  set_socket(sock);
  set_client_id((int)getpid());

  expected_entities = locked_walk(stdout);
  fputc('\n', stdout);
  if (expected_entities < 1) return 2;

  pthread_t threads[2];
  for (int t = 0; t < 2; ++t)
    if (pthread_create(&threads[t], NULL, walker, NULL) != 0) return 2;
  long bad = 0;
  for (int t = 0; t < 2; ++t) {
    void *r = NULL;
    pthread_join(threads[t], &r);
    bad += (long)r;
  }
  printf("%d entities; %ld of 40 threaded walks differed\n", expected_entities, bad);
  close(sock);
  return bad ? 2 : 0;
}
