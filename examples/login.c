/* Logs a user in through PAM, takes the user's rights from the daemon's
 * credential record, keeps the session while making a call with those
 * rights, and logs out.
 *
 *   example_login SOCKET USER < password
 *
 * Exit status: 0 as expected, 1 no daemon, 2 a call failed, 3 the login
 * was refused. Needs PAM service "pam_lib_mgtd" (tests and scripts/demo
 * provide one under pam_wrapper). */
#define _GNU_SOURCE
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <pam_lib.h>

#include "connect_daemon.h"

int main(int argc, char **argv) {
  if (argc < 3) {
    fprintf(stderr, "usage: example_login SOCKET USER < password\n");
    return 1;
  }
  const char *user = argv[2];
  char password[128] = "";
  if (!fgets(password, sizeof password, stdin)) return 3;
  password[strcspn(password, "\n")] = '\0';

  /* guide: login */
  PAM_session_init();  /* once, before the first login */

  /* Connect first: without a registered socket the login connects to
   * "/tmp/mgtd1" by itself. */
  int sock = connect_daemon(argv[1]);
  if (sock < 0) return 1;
  set_socket(sock);

  unsigned char cred[64] = {0};
  int32_t no_uid = -1;  /* stays when the daemon has no record (group level) */
  memcpy(cred + 4, &no_uid, 4);
  int session_id = -1;
  /* Several remote calls: under the host's daemon lock in a threaded host. */
  int r = PAM_AuthUser(user, password, "192.0.2.7", "ssh", 1, sizeof cred, cred, &session_id);
  explicit_bzero(password, sizeof password);  /* do not keep passwords */
  if (r != 0) {
    fprintf(stderr, "login refused: %d\n", r);  /* PAM code, errno, daemon word or -1 */
    return 3;
  }
  /* guide end */

  /* guide: rights */
  /* The login left privilege 4 in the process-wide context; the reference
   * daemon's record is the level, the uid (4 bytes each) and the full name. */
  int32_t level, uid;
  memcpy(&level, cred, 4);
  memcpy(&uid, cred + 4, 4);
  set_privelege(level);
  set_uid(uid);
  /* guide end */
  printf("%s: level %d, uid %d, session %d\n", user, level, uid, session_id);

  /* guide: session */
  PAM_session_add(session_id, 15);  /* idle time-out in minutes; -1: never */

  /* before each action of the user: */
  if (PAM_session_check_and_refresh(session_id) != 0) {
    fprintf(stderr, "session expired\n");  /* closed by the monitor: log out */
    return 2;
  }
  char location[DM_TEXT_SIZE];
  if (DM_GetParam("system.location", sizeof location, location, 0) == -1) return 2;
  printf("location: %s\n", location);

  /* at logout: */
  PAM_session_delete(session_id);  /* closes the PAM session too */
  set_privelege(-1);
  set_uid(-1);
  /* guide end */

  close(sock);
  return 0;
}
