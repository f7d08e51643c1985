/*
 * A PAM module for the tests. It logs "probe EVENT DETAIL" lines through
 * syslog (captured by the test harness): the answers the application's
 * conversation gives, credential and session steps. The variable
 * PAM_LIB_PROBE steers it: auth=N and pass=N (hidden prompts asked by
 * authentication, by a password change), fail_open=1, close_msg=1 (an error
 * message and a prompt while the session closes: the conversation must
 * outlive the login call).
 */
#include <security/pam_modules.h>
#include <stdlib.h>
#include <string.h>
#include <syslog.h>

static int control(const char *name) {
  const char *v = getenv("PAM_LIB_PROBE");
  const char *p = v ? strstr(v, name) : NULL;
  return p ? atoi(p + strlen(name)) : 0;
}

static void record(const char *what, const char *detail) {
  syslog(LOG_DEBUG, "probe %s %s", what, detail ? detail : "(null)");
}

/* Sends `count` messages of one style; the answers to prompts are logged. */
static void converse(pam_handle_t *h, int style, const char *what, int count) {
  const struct pam_conv *conv = NULL;
  struct pam_message m = {style, what};
  const struct pam_message *mp = &m;
  if (pam_get_item(h, PAM_CONV, (const void **)&conv) != PAM_SUCCESS || !conv) return;
  for (int i = 0; i < count; ++i) {
    struct pam_response *resp = NULL;
    conv->conv(1, &mp, &resp, conv->appdata_ptr);
    if (style == PAM_PROMPT_ECHO_OFF) record(what, resp ? resp->resp : NULL);
    if (resp) free(resp->resp);
    free(resp);
  }
}

static const char *user_of(pam_handle_t *h) {
  const void *user = NULL;
  pam_get_item(h, PAM_USER, &user);
  return user;
}

PAM_EXTERN int pam_sm_authenticate(pam_handle_t *h, int flags, int argc, const char **argv) {
  (void)flags, (void)argc, (void)argv;
  if (control("auth=") <= 0) return PAM_IGNORE;
  converse(h, PAM_PROMPT_ECHO_OFF, "auth", control("auth="));
  return PAM_SUCCESS;
}

PAM_EXTERN int pam_sm_setcred(pam_handle_t *h, int flags, int argc, const char **argv) {
  (void)h, (void)argc, (void)argv;
  record("setcred", (flags & PAM_DELETE_CRED) ? "delete" : "establish");
  return PAM_SUCCESS;
}

PAM_EXTERN int pam_sm_open_session(pam_handle_t *h, int flags, int argc, const char **argv) {
  (void)flags, (void)argc, (void)argv;
  record("open", user_of(h));
  return control("fail_open=") ? PAM_SESSION_ERR : PAM_SUCCESS;
}

PAM_EXTERN int pam_sm_close_session(pam_handle_t *h, int flags, int argc, const char **argv) {
  (void)flags, (void)argc, (void)argv;
  record("close", user_of(h));
  if (control("close_msg=")) {
    converse(h, PAM_ERROR_MSG, "closing", 1);
    converse(h, PAM_PROMPT_ECHO_OFF, "close-prompt", 1);
  }
  return PAM_SUCCESS;
}

PAM_EXTERN int pam_sm_chauthtok(pam_handle_t *h, int flags, int argc, const char **argv) {
  (void)argc, (void)argv;
  if (control("pass=") <= 0) return PAM_IGNORE;
  if (flags & PAM_PRELIM_CHECK) converse(h, PAM_PROMPT_ECHO_OFF, "pass", control("pass="));
  return PAM_SUCCESS;
}
