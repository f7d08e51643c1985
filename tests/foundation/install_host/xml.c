/* A host that uses the XML parser links pam_lib-xml / pam_lib::xml, which
 * bring expat: the file at argv[1] holds two <item> records. */
#include <util_linux.h>

static int count(XmlParseCtx *ctx, uintptr_t arg) {
  if (ctx->field_values[0]) ++*(int *)arg;
  return 0;
}

int main(int argc, char **argv) {
  if (argc < 2) return 10;
  const char *fields[] = {"name"};
  int n = 0;
  if (expat_XMLParse(argv[1], fields, 1, "item", count, (uintptr_t)&n) != 0) return 11;
  return n == 2 ? 0 : 12;
}
