/* A host linked with -lpam_lib alone: one remote call to the daemon at
 * argv[1]; the XML parser and the package query, whose expat and librpm this
 * host did not link, fail cleanly. Exit 0 when all behave. */
#include <pam_lib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <util_linux.h>

int main(int argc, char **argv) {
  struct sockaddr_un addr = {.sun_family = AF_UNIX};
  if (argc < 3 || strlen(argv[1]) >= sizeof addr.sun_path) return 10;
  strcpy(addr.sun_path, argv[1]);
  int sock = socket(AF_UNIX, SOCK_STREAM, 0);
  if (sock < 0 || connect(sock, (struct sockaddr *)&addr, sizeof addr) != 0) return 12;
  set_socket(sock);
  char host[DM_TEXT_SIZE], version[64];
  if (DM_GetHostName(host, sizeof host) != 0 || host[0] == '\0') return 13;
  const char *fields[] = {"name"};
  if (expat_XMLParse(argv[2], fields, 1, "item", NULL, 0) != -1) return 14;
  return find_rpmdb_package_info("bash", version, sizeof version, NULL, 0) == -1 ? 0 : 15;
}
