/* A PAM module for the tests: logs "probe EVENT DETAIL" through syslog (the
 * harness captures it), steered by PAM_LIB_PROBE: auth=N (hidden prompts),
 * fail_open=1, close_msg=1 (an error message and a prompt at close). */
#include <security/pam_modules.h>
#include <stdlib.h>
#include <string.h>
#include <syslog.h>

static int control(const char *name) {
  const char *v = getenv("PAM_LIB_PROBE");
  const char *p = v ? strstr(v, name) : NULL;
  return p ? atoi(p + strlen(name)) : 0;
}

static void record(const char *what, const void *detail) {
  syslog(LOG_DEBUG, "probe %s %s", what, detail ? (const char *)detail : "(null)");
}

static void converse(pam_handle_t *h, int style, const char *what, int count) {
  const struct pam_conv *conv = NULL;
  struct pam_message m = {style, what};
  const struct pam_message *mp = &m;
  pam_get_item(h, PAM_CONV, (const void **)&conv);
  for (int i = 0; i < count; ++i) {
    struct pam_response *resp = NULL;
    conv->conv(1, &mp, &resp, conv->appdata_ptr);
    if (style == PAM_PROMPT_ECHO_OFF) record(what, resp ? resp->resp : NULL);
    if (resp) free(resp->resp);
    free(resp);
  }
}

PAM_EXTERN int pam_sm_authenticate(pam_handle_t *h, int flags, int argc, const char **argv) {
  converse(h, PAM_PROMPT_ECHO_OFF, "auth", control("auth="));
  return control("auth=") > 0 ? PAM_SUCCESS : PAM_IGNORE;
}

PAM_EXTERN int pam_sm_setcred(pam_handle_t *h, int flags, int argc, const char **argv) {
  record("setcred", (flags & PAM_DELETE_CRED) ? "delete" : "establish");
  return PAM_SUCCESS;
}

PAM_EXTERN int pam_sm_open_session(pam_handle_t *h, int flags, int argc, const char **argv) {
  const void *user = NULL;
  pam_get_item(h, PAM_USER, &user);
  record("open", user);
  return control("fail_open=") ? PAM_SESSION_ERR : PAM_SUCCESS;
}

PAM_EXTERN int pam_sm_close_session(pam_handle_t *h, int flags, int argc, const char **argv) {
  const void *user = NULL;
  pam_get_item(h, PAM_USER, &user);
  record("close", user);
  converse(h, PAM_ERROR_MSG, "closing", control("close_msg="));
  converse(h, PAM_PROMPT_ECHO_OFF, "close-prompt", control("close_msg="));
  return PAM_SUCCESS;
}
