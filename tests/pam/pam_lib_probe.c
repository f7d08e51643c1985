/*
 * A PAM module for the tests: it records what the application's conversation
 * answers and when sessions open and close, driven by a control file.
 *
 * Arguments: ctl=<file> log=<file>. The control file holds "name=value"
 * lines: auth_prompts=N (hidden prompts asked during authentication),
 * pass_prompts=N (hidden prompts asked by a password change), fail_open=1
 * (pam_open_session fails), close_msg=1 (an error message is conversed while
 * the session closes), chatty=1 (the gate instance, argument gate, lets
 * authentication reach the pam_chatty line behind it). Each event is appended to the log file as one line.
 */
#define _GNU_SOURCE
#include <security/pam_appl.h>
#include <security/pam_modules.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static const char *arg_value(int argc, const char **argv, const char *name) {
  size_t n = strlen(name);
  for (int i = 0; i < argc; ++i)
    if (strncmp(argv[i], name, n) == 0 && argv[i][n] == '=') return argv[i] + n + 1;
  return NULL;
}

static int control(int argc, const char **argv, const char *name) {
  const char *path = arg_value(argc, argv, "ctl");
  FILE *f = path ? fopen(path, "r") : NULL;
  char line[128];
  int value = 0;
  size_t n = strlen(name);
  if (!f) return 0;
  while (fgets(line, sizeof line, f))
    if (strncmp(line, name, n) == 0 && line[n] == '=') value = atoi(line + n + 1);
  fclose(f);
  return value;
}

static void record(int argc, const char **argv, const char *what, const char *detail) {
  const char *path = arg_value(argc, argv, "log");
  FILE *f = path ? fopen(path, "a") : NULL;
  if (!f) return;
  fprintf(f, "%s %s\n", what, detail ? detail : "(null)");
  fclose(f);
}

static int converse(pam_handle_t *h, int style, const char *text, char **reply) {
  const struct pam_conv *conv = NULL;
  struct pam_message m = {style, text};
  const struct pam_message *mp = &m;
  struct pam_response *resp = NULL;
  int r = pam_get_item(h, PAM_CONV, (const void **)&conv);
  if (r != PAM_SUCCESS || !conv || !conv->conv) return PAM_CONV_ERR;
  r = conv->conv(1, &mp, &resp, conv->appdata_ptr);
  if (reply) *reply = NULL;
  if (resp) {
    if (reply) *reply = resp->resp;
    else free(resp->resp);
    free(resp);
  }
  return r;
}

static void ask(pam_handle_t *h, int argc, const char **argv, const char *what, int count) {
  for (int i = 0; i < count; ++i) {
    char *reply = NULL;
    converse(h, PAM_PROMPT_ECHO_OFF, "Password: ", &reply);
    record(argc, argv, what, reply);
    free(reply);
  }
}

PAM_EXTERN int pam_sm_authenticate(pam_handle_t *h, int flags, int argc, const char **argv) {
  (void)flags;
  if (arg_value(argc, argv, "gate"))
    return control(argc, argv, "chatty") ? PAM_SUCCESS : PAM_IGNORE;
  int n = control(argc, argv, "auth_prompts");
  if (n <= 0) return PAM_IGNORE;
  ask(h, argc, argv, "auth", n);
  return PAM_SUCCESS;
}

PAM_EXTERN int pam_sm_setcred(pam_handle_t *h, int flags, int argc, const char **argv) {
  (void)h;
  if (arg_value(argc, argv, "gate")) return PAM_IGNORE;
  record(argc, argv, "setcred", (flags & PAM_DELETE_CRED) ? "delete" : "establish");
  return PAM_SUCCESS;
}

PAM_EXTERN int pam_sm_acct_mgmt(pam_handle_t *h, int flags, int argc, const char **argv) {
  (void)h; (void)flags; (void)argc; (void)argv;
  return PAM_IGNORE;
}

PAM_EXTERN int pam_sm_open_session(pam_handle_t *h, int flags, int argc, const char **argv) {
  const char *user = NULL;
  (void)flags;
  pam_get_item(h, PAM_USER, (const void **)&user);
  record(argc, argv, "open", user);
  return control(argc, argv, "fail_open") ? PAM_SESSION_ERR : PAM_SUCCESS;
}

PAM_EXTERN int pam_sm_close_session(pam_handle_t *h, int flags, int argc, const char **argv) {
  const char *user = NULL;
  (void)flags;
  pam_get_item(h, PAM_USER, (const void **)&user);
  record(argc, argv, "close", user);
  if (control(argc, argv, "close_msg")) {
    char text[160];
    snprintf(text, sizeof text, "closing %s", user ? user : "?");
    converse(h, PAM_ERROR_MSG, text, NULL);
    /* a hidden prompt too: the conversation must still be there */
    ask(h, argc, argv, "close-prompt", 1);
  }
  return PAM_SUCCESS;
}

PAM_EXTERN int pam_sm_chauthtok(pam_handle_t *h, int flags, int argc, const char **argv) {
  int n = control(argc, argv, "pass_prompts");
  if (n <= 0) return PAM_IGNORE;
  if (flags & PAM_PRELIM_CHECK) ask(h, argc, argv, "pass", n);
  return PAM_SUCCESS;
}
