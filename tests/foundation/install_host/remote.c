/* A host linked with -lpam_lib alone: one remote call to the daemon at
 * argv[1], and the XML parser, whose expat this host did not link, fails
 * cleanly. Exit 0 when both behave. */
#define _GNU_SOURCE
#include <pam_lib.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <util_linux.h>

int main(int argc, char **argv) {
  if (argc < 3) return 10;
  struct sockaddr_un addr = {.sun_family = AF_UNIX};
  if (strlen(argv[1]) >= sizeof addr.sun_path) return 11;
  strcpy(addr.sun_path, argv[1]);
  int sock = socket(AF_UNIX, SOCK_STREAM, 0);
  if (sock < 0 || connect(sock, (struct sockaddr *)&addr, sizeof addr) != 0) return 12;
  set_socket(sock);
  char host[DM_TEXT_SIZE];
  if (DM_GetHostName(host, sizeof host) != 0) return 13;
  printf("host name: %s\n", host);
  const char *fields[] = {"name"};
  if (expat_XMLParse(argv[2], fields, 1, "item", NULL, 0) != -1) return 14;
  char version[64];
  if (find_rpmdb_package_info("bash", version, sizeof version, NULL, 0) != -1) return 15;
  printf("without expat and librpm: the parser and the package query fail\n");
  return 0;
}
