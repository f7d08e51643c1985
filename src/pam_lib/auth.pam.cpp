// PAM login and password change for the host's users (service
// "pam_lib_mgtd"). PAM's questions are answered from the caller's passwords
// by conv_func, never from a terminal.
#include "pam_lib/auth.pam.hpp"

#include <pwd.h>
#include <security/pam_appl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "common/alloc.hpp"
#include "common/log.hpp"
#include "pam_lib.h"
#include "pam_lib/sessions.pam.hpp"

namespace pl {

std::atomic<int32_t> last_session_id{0};

namespace {

constexpr const char *kService = "pam_lib_mgtd";
constexpr int kConnectTimeoutMs = 2000;
constexpr int kLoginPrivilege = 4;

struct ConvFree {
  void operator()(ConvBlock *c) const noexcept { std::free(c); }
};
using ConvPtr = std::unique_ptr<ConvBlock, ConvFree>;

ConvPtr make_conv(const char *password, const char *new_password) noexcept {
  ConvPtr c(static_cast<ConvBlock *>(alloc_zeroed(sizeof(ConvBlock))));
  if (!c) return c;
  c->data.password = password;
  c->data.new_password = new_password;
  c->data.prompt_count = 0;
  c->conv.conv = conv_func;
  c->conv.appdata_ptr = &c->data;
  return c;
}

void log_pam_error(pam_handle_t *h, int r) noexcept {
  log_msg(LOG_ERR, "pam error %d:%s", r, pam_strerror(h, r));
}

// The primary group of user from the system's user database. 0 with *gid
// set, getpwnam_r's error number, or PAM_USER_UNKNOWN when there is no such
// user (the daemon must never be asked about an undefined group).
int primary_group(const char *user, gid_t *gid) noexcept {
  long size = sysconf(_SC_GETPW_R_SIZE_MAX);
  if (size <= 0) size = 16384;
  MallocPtr<char> buf(static_cast<char *>(alloc(static_cast<std::size_t>(size))));
  if (!buf) return ENOMEM;
  passwd pw{};
  passwd *found = nullptr;
  int r = getpwnam_r(user, &pw, buf.get(), static_cast<std::size_t>(size), &found);
  if (r != 0) return r;
  if (!found) return PAM_USER_UNKNOWN;
  *gid = found->pw_gid;
  return 0;
}

// The user's rights from the daemon into cred: the credential record, or,
// when the daemon holds none, the privilege level of the user's primary
// group in the first 4 bytes. 0 or the failing step's result.
int fetch_rights(const char *user, int cred_len, void *cred) noexcept {
  if (DM_GetUserCred(user, cred_len, cred) == 0) return 0;
  gid_t gid = 0;
  if (int r = primary_group(user, &gid); r != 0) return r;
  // Through a local: the caller's buffer may be shorter than 4 bytes or
  // unaligned.
  int level = 0;
  if (int r = DM_GetPrivilegeLevel(static_cast<int>(gid), &level); r != 0) return r;
  if (cred && cred_len > 0)
    std::memcpy(cred, &level, std::min<std::size_t>(sizeof level, static_cast<std::size_t>(cred_len)));
  return 0;
}

}  // namespace

}  // namespace pl

using namespace pl;

extern "C" {

int conv_func(int num_msg, const struct pam_message **msg, struct pam_response **resp,
                          void *appdata_ptr) noexcept {
  if (!msg) {
    report("msg == NULL", "pam_lib", "conv_func", 29);
    return PAM_CONV_ERR;
  }
  if (!appdata_ptr) {
    report("appdata_ptr == NULL", "pam_lib", "conv_func", 30);
    return PAM_CONV_ERR;
  }
  if (num_msg > 1) {
    report("num_msg > 1", "pam_lib", "conv_func", 32);
    return PAM_CONV_ERR;
  }
  // Without a message there is nothing to read the style from.
  if (num_msg < 1 || !msg[0]) return PAM_CONV_ERR;
  if (!resp) return PAM_SUCCESS;

  auto *data = static_cast<PamConvData *>(appdata_ptr);
  auto *reply = static_cast<pam_response *>(alloc_zeroed(sizeof(pam_response)));
  if (!reply) return PAM_BUF_ERR;
  reply->resp = nullptr;
  reply->resp_retcode = 0;

  const char *answer = nullptr;
  switch (msg[0]->msg_style) {
    case PAM_PROMPT_ECHO_OFF:
      if (data->prompt_count == 0) {
        answer = data->password;
        data->prompt_count = 1;
      } else if (data->prompt_count == 1 || data->prompt_count == 2) {
        answer = data->new_password;
        ++data->prompt_count;
      }
      break;
    case PAM_ERROR_MSG:
      log_msg(LOG_ERR, "PAM_ERROR_MSG:%s", msg[0]->msg ? msg[0]->msg : "");
      break;
    default:
      break;
  }
  if (answer) {
    reply->resp = dup_string(answer);
    if (!reply->resp) {
      std::free(reply);
      return PAM_BUF_ERR;
    }
  }
  *resp = reply;
  return PAM_SUCCESS;
}

PAM_LIB_API int PAM_AuthUser(const char *user, const char *password, const char *rhost,
                             const char *tty, int open_session, int cred_len, void *cred,
                             int *session_id) noexcept {
  // The conversation lives on the heap: a stored session's handle keeps
  // pointing at it until the session record is released.
  ConvPtr conv = make_conv(password, nullptr);
  if (!conv) return PAM_BUF_ERR;

  pam_handle_t *h = nullptr;
  int r = pam_start(kService, user, &conv->conv, &h);
  if (r == PAM_SUCCESS) r = pam_set_item(h, PAM_RHOST, rhost);
  if (r == PAM_SUCCESS) r = pam_set_item(h, PAM_TTY, tty);
  if (r == PAM_SUCCESS) r = pam_authenticate(h, 0);
  if (r == PAM_SUCCESS) r = pam_acct_mgmt(h, 0);
  if (r != PAM_SUCCESS) {
    log_pam_error(h, r);
    if (h) pam_end(h, r);
    return r;
  }
  if (!open_session) {
    pam_end(h, PAM_SUCCESS);
    return 0;
  }

  // Connection and login privilege stay in the client context after the
  // call, whatever its outcome; a failed connection makes the requests fail.
  int sock = get_socket();
  if (sock == -1) sock = client_Init_with_timeout(kConnectTimeoutMs);
  set_socket(sock);
  set_privelege(kLoginPrivilege);

  bool delete_cred = false;
  r = fetch_rights(user, cred_len, cred);
  if (r == 0) {
    DM_LoginUser(user);
    r = pam_setcred(h, PAM_ESTABLISH_CRED);
    if (r == PAM_SUCCESS) r = pam_open_session(h, 0);
    if (r != PAM_SUCCESS) {
      log_pam_error(h, r);
      delete_cred = true;
    } else {
      int32_t id = last_session_id.fetch_add(1) + 1;
      // The session keeps the handle; the password itself is not kept.
      conv->data.password = nullptr;
      if (sPAM_session_create(id, h, conv.get()) == 0) {
        conv.release();
        if (session_id) *session_id = id;
        return 0;
      }
      conv->data.password = password;
      log_msg(LOG_ERR, "PAM_AuthUser: failed to create sessions's DB, user=%s\n", user);
      r = -1;
      delete_cred = true;
    }
  }
  // Failure after the connection step: the connection stays open and
  // registered in the client context for the host's later requests.
  if (delete_cred) pam_setcred(h, PAM_DELETE_CRED);
  pam_end(h, r);
  return r;
}

PAM_LIB_API int PAM_ChangePass(const char *user, const char *old_password,
                               const char *new_password) noexcept {
  ConvPtr conv = make_conv(old_password, new_password);
  if (!conv) return PAM_BUF_ERR;
  pam_handle_t *h = nullptr;
  int r = pam_start(kService, user, &conv->conv, &h);
  if (r != PAM_SUCCESS) {
    log_pam_error(h, r);
  } else {
    r = pam_chauthtok(h, 0);
    if (r != PAM_SUCCESS) log_pam_error(h, r);
  }
  if (h) pam_end(h, r);
  return r;
}

}  // extern "C"
