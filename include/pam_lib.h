/*
 * pam_lib: client of the management daemon mgtd, PAM login and sessions.
 *
 * All functions are plain C and never throw. Unless stated otherwise they
 * return 0 on success and -1 (ERROR) on failure. Strings and buffers that a
 * function returns are malloc()ed and belong to the caller (free()).
 *
 * Threads: the client context (socket, privilege, uid, client id, last error
 * word), the hooks and the request counter are process-wide and unlocked,
 * and the daemon keeps walk positions per connection. A threaded host holds
 * one lock of its own across every sequence of calls that belongs together
 * (a whole walk, a login, a call and the get_err() after it). The session
 * calls (PAM_session_*) lock for themselves. The host guide
 * (share/doc/pam_lib/host-guide.md) explains this and every hook.
 */
#ifndef PAM_LIB_H
#define PAM_LIB_H

#include <stdint.h>
#include <stdio.h>

#if defined(PAM_LIB_BUILDING)
#define PAM_LIB_API __attribute__((visibility("default")))
#else
#define PAM_LIB_API
#endif

#if defined(__cplusplus)
#define PAM_LIB_NOEXCEPT noexcept
extern "C" {
#else
#define PAM_LIB_NOEXCEPT
#endif

/* ===== Client context and request messages =============================== */

#ifndef ERROR
#define ERROR (-1)
#endif
#define MSG_MAX_ITEMS 10
#define SERVER_BUFFER_SIZE 4096
#define MSG_MAGIC 0x6F79696EU
#define MSG_HDR_LEN 56
#define REPLY_HDR_LEN 48

/* Message item kinds. */
enum { ITEM_INT = 0, ITEM_ARRAY = 1, ITEM_CARRAY = 2, ITEM_PTR = 3, ITEM_STRPTR = 4 };

/* Reply frame kinds. */
enum {
  REPLY_RESULT = 0, REPLY_PRINT = 1, REPLY_XML = 2,
  REPLY_INPUT = 3, REPLY_PRINT_END = 4, REPLY_RUN_CMD = 5
};

/* Request header: goes onto the wire verbatim (56 bytes). */
typedef struct MSG_HDR {
  uint32_t hdr_len;    /* always 56 */
  uint32_t seq;        /* set when encoded */
  uint32_t total_len;  /* set when encoded */
  int32_t item_count;
  uint32_t opcode;
  int32_t privilege;
  int32_t uid;
  int32_t priority;
  uint32_t magic;      /* MSG_MAGIC */
  int32_t client_id;
  uint32_t reserved[4];
} MSG_HDR;

/* One argument or result of a request. value is the integer for ITEM_INT,
 * otherwise the address of the caller's buffer (pointer-sized). */
typedef struct MSG_ITEM {
  int32_t kind;
  int32_t size;
  intptr_t value;
} MSG_ITEM;

typedef struct MSG {
  MSG_HDR hdr;
  MSG_ITEM items[MSG_MAX_ITEMS];
} MSG;

/* Reply header (48 bytes) as sent by the daemon. */
typedef struct REPLY_HDR {
  int32_t type;
  uint32_t magic;
  uint32_t seq;
  int32_t data_len;
  int32_t status;
  int32_t result;
  int32_t err;
  int32_t chunk_len;  /* written by the client: bytes in data[] now */
  int32_t received;   /* written by the client: bytes of this frame so far */
  uint32_t reserved[3];
} REPLY_HDR;

/* A reply frame header with its current chunk of data. */
typedef struct REPLY {
  REPLY_HDR hdr;
  char data[SERVER_BUFFER_SIZE];
} REPLY;

/* Host hooks. Results are ignored by the library unless stated. */
typedef int (*debug_print_fn)(const char *fmt, ...);
typedef int (*reconnect_fn)(MSG *failed_request);
/* Returns a malloc()ed line, or NULL; the library frees it. */
typedef char *(*get_input_fn)(const char *prompt, int value);
typedef int (*run_cmd_fn)(const char *command);
/* pipe_stream is the exchange's pipe-stream slot: a stream opened here is
 * closed by the library at the print end or at the end of the exchange. */
typedef int (*print_out_fn)(REPLY *frame, FILE **pipe_stream);

/* Registers the connected stream socket every exchange uses (-1: none). The
 * library never registers one by itself, except PAM_AuthUser when none is
 * registered; it never closes one. */
PAM_LIB_API void set_socket(int sock) PAM_LIB_NOEXCEPT;
/* The registered socket, or -1. */
PAM_LIB_API int get_socket(void) PAM_LIB_NOEXCEPT;
/* The privilege level every request carries (-1 at start: anonymous). The
 * spelling is the interface's. PAM_AuthUser sets 4 and leaves it. */
PAM_LIB_API void set_privelege(int privilege) PAM_LIB_NOEXCEPT;
/* The privilege level requests carry now. */
PAM_LIB_API int get_privilege(void) PAM_LIB_NOEXCEPT;
/* The user id every request carries (-1 at start). */
PAM_LIB_API void set_uid(int uid) PAM_LIB_NOEXCEPT;
/* The error word of the last answered request (0 at start). A transport
 * failure leaves the previous word: the reconnect hook running is what marks
 * one. Process-wide, like the rest of the context. */
PAM_LIB_API int get_err(void) PAM_LIB_NOEXCEPT;
/* The client id every request carries (a host uses its process id). */
PAM_LIB_API void set_client_id(int client_id) PAM_LIB_NOEXCEPT;
/* Which socket client_Init reached: 1 for "/tmp/mgtd1", 0 for the fall-back
 * "/tmp/mgtd"; 1 before any client_Init. For the host's information: the
 * library itself does not use it. */
PAM_LIB_API int get_client_protocol(void) PAM_LIB_NOEXCEPT;
/* Stores a flag for hosts that still set it; the library reads it nowhere
 * and it changes nothing. Tracing is set_debug_print. */
PAM_LIB_API void set_debug_connection(int flag) PAM_LIB_NOEXCEPT;
/* Installs the trace hook (NULL removes it): printf-style lines about sends,
 * receives and connect time-outs. */
PAM_LIB_API void set_debug_print(debug_print_fn hook) PAM_LIB_NOEXCEPT;
/* Installs the hook run once after every exchange that failed on the socket
 * (or found none registered), never after a daemon's error answer. It gets
 * the failed request, which the library does not send again and frees when
 * the call returns. NULL removes it. */
PAM_LIB_API void set_reconnect_func(reconnect_fn hook) PAM_LIB_NOEXCEPT;
/* Installs the hook that answers the daemon's prompts (REPLY_INPUT): it gets
 * the prompt text and the daemon's value (the reference daemon: 1 for a
 * secret) and returns a malloc()ed line, which the library frees, or NULL,
 * which is sent as an empty line. Without a hook every answer is empty. */
PAM_LIB_API void set_get_input_func(get_input_fn hook) PAM_LIB_NOEXCEPT;
/* Installs the hook that runs the daemon's commands on the client
 * (REPLY_RUN_CMD), e.g. through system_unmasked. NULL removes it. */
PAM_LIB_API void set_run_cmd_function(run_cmd_fn hook) PAM_LIB_NOEXCEPT;
/* Installs the hook that receives the daemon's printed output
 * (REPLY_PRINT), chunk by chunk. NULL removes it (the output is dropped). */
PAM_LIB_API void set_print_out(print_out_fn hook) PAM_LIB_NOEXCEPT;

/* A new request message for opcode, with no items, or NULL when memory runs
 * out. The caller passes it to SendAndRcv, which frees it. */
PAM_LIB_API MSG *CreateMsg(uint32_t opcode) PAM_LIB_NOEXCEPT;
/* Appends an integer item. A message holds MSG_MAX_ITEMS items; the Add
 * calls leave a full message (or a NULL one) unchanged. */
PAM_LIB_API void AddIntToMsg(MSG *msg, int32_t value) PAM_LIB_NOEXCEPT;
/* Appends a string item, sent with its NUL. */
PAM_LIB_API void AddStrToMsg(MSG *msg, const char *str) PAM_LIB_NOEXCEPT;
/* Appends size bytes of buf, sent and overwritten by the daemon's reply. */
PAM_LIB_API void AddArrayToMsg(MSG *msg, int32_t size, void *buf) PAM_LIB_NOEXCEPT;
/* Appends size bytes of buf, sent only. */
PAM_LIB_API void AddCArrayToMsg(MSG *msg, int32_t size, const void *buf) PAM_LIB_NOEXCEPT;
/* Appends an out-buffer of size bytes, filled from the daemon's reply. */
PAM_LIB_API void AddPtrToMsg(MSG *msg, int32_t size, void *buf) PAM_LIB_NOEXCEPT;
/* Appends a string out-buffer of capacity size, filled from the reply; a
 * text that does not fit fails the call. */
PAM_LIB_API void AddStrPtrToMsg(MSG *msg, int32_t size, char *buf) PAM_LIB_NOEXCEPT;

/* 1 when no byte has its top bit set (NULL too). Control characters such
 * as a tab pass: UTILS_is_ascii_7 is the stricter test. */
PAM_LIB_API int is_ascii_7(const char *str) PAM_LIB_NOEXCEPT;

/* ===== Connection and exchange =========================================== */
/* @@section exchange@@ */

/* Connects to the daemon through "/tmp/mgtd1", falling back to "/tmp/mgtd"
 * (get_client_protocol becomes 1 or 0). Returns the socket or -1. The host
 * registers it with set_socket. A peer whose uid (SO_PEERCRED) is neither 0
 * nor the caller's effective uid counts as a failed connect (logged). A
 * daemon on another path: the host connects itself (and checks its peer).
 * Exchanges on a local socket wait without limit unless the host sets
 * SO_RCVTIMEO/SO_SNDTIMEO on it. */
PAM_LIB_API int client_Init(void) PAM_LIB_NOEXCEPT;
/* Connects to "/tmp/mgtd1" only, the connect bounded by timeout_ms (0: a
 * blocking connect); the client protocol is left as it is. Returns the socket
 * or -1 (connect failures are traced through the debug_print hook). The peer
 * is checked as by client_Init. */
PAM_LIB_API int client_Init_with_timeout(int timeout_ms) PAM_LIB_NOEXCEPT;
/* Connects over TCP port 10002 to a dotted-decimal IPv4 address; the
 * time-out also becomes the exchange time-out. Returns the socket or -1. */
PAM_LIB_API int client_Init_External(const char *ip_addr, int timeout_ms) PAM_LIB_NOEXCEPT;
/* Sends len bytes from buf on sock with the given send flags; the whole send
 * is bounded by one time-out (0: one plain send, its result unchanged). Never
 * raises SIGPIPE. Returns the bytes sent, 0 on time-out, -1 on a send error. */
PAM_LIB_API int timed_send(int sock, const void *buf, int len, int flags, int timeout_ms) PAM_LIB_NOEXCEPT;
/* Runs one request on the registered socket and frees msg in every case,
 * serving printed output, prompts, XML and commands through the hooks on
 * the way. Returns the daemon's result word, or -1 when the call failed
 * (after a failure on the socket the reconnect hook has run). A run-command
 * frame longer than 4096 bytes is skipped, never run cut. */
PAM_LIB_API int SendAndRcv(MSG *msg) PAM_LIB_NOEXCEPT;
/* This process's XML output file name ("/mnt/temp/xml.<pid>_<socket>"), in a
 * static buffer replaced by the next call. The first REPLY_XML frame of an
 * exchange creates or empties the file, the exchange's frames are appended,
 * and the file is left for the host to read and remove. The directory must
 * exist; without it the XML is dropped. A symlink, or a file that is not a
 * regular file of the effective uid with one link, is never written. */
PAM_LIB_API char *GetXMLFileName(void) PAM_LIB_NOEXCEPT;

/* ===== Remote calls ======================================================= */
/* @@section remote-calls@@ */

/* Every remote call sends one request to the daemon (opcode in brackets) and
 * returns the daemon's result word, or -1 (ERROR) when the request could not
 * be built or sent, the daemon reported an error or answered -1, or the
 * reply did not fit the out-buffers. Out-buffers are filled only on success;
 * get_err() then holds the daemon's error word of the answered request.
 * Buffers stay the caller's. The meaning of the result words and of the
 * integers "forwarded unchanged" is the daemon's (see the mgtd README). */

/* Fixed out-buffer sizes the calls declare to the daemon (NUL included). */
#define DM_NAME_SIZE 50       /* entity, parameter and command names */
#define DM_FULLNAME_SIZE 100  /* entity full name */
#define DM_TEXT_SIZE 255      /* paths, information, command and option texts */
#define SM_TRAP_SIZE 896      /* trap record */

/* --- parameter values --- */
/* The trailing `mode` of the six value calls is forwarded; the reference
 * daemon reads it as: Get calls 1 = the default value instead of the current
 * one; Set calls 1 = validate only, change nothing. */
/* [13] Writes a parameter. len 0: value is a NUL-terminated string, sent with
 * its NUL (the reference daemon parses it as text); otherwise len bytes of
 * value are sent (the raw value). */
PAM_LIB_API int DM_SetParam(const char *name, int len, const void *value, int mode) PAM_LIB_NOEXCEPT;
/* [14] Reads a parameter: exactly len bytes into buf (the reference daemon:
 * the value as text, NUL-padded). */
PAM_LIB_API int DM_GetParam(const char *name, int len, void *buf, int mode) PAM_LIB_NOEXCEPT;
/* [47] Writes an integer (or enumeration) parameter. */
PAM_LIB_API int DM_IntSet(const char *name, int value, int mode) PAM_LIB_NOEXCEPT;
/* [48] Reads an integer (or enumeration) parameter into *value (4 bytes). */
PAM_LIB_API int DM_IntGet(const char *name, int *value, int mode) PAM_LIB_NOEXCEPT;
/* [50] Writes len bytes of buf (the raw value); on success the daemon's len
 * bytes (the stored value) replace them. */
PAM_LIB_API int DM_BufferSet(const char *name, int len, void *buf, int mode) PAM_LIB_NOEXCEPT;
/* [53] Reads the raw value: exactly len bytes into buf (the reference
 * daemon: integers and enumerations as 4 bytes, strings as their bytes). */
PAM_LIB_API int DM_BufferGet(const char *name, int len, void *buf, int mode) PAM_LIB_NOEXCEPT;

/* --- users, privileges, security log, traps --- */
/* [34] Authenticates a user with the daemon (request privilege 4); *level
 * and *uid receive the user's privilege level and user id. */
PAM_LIB_API int DM_AuthUser(const char *user, const char *password, int *level, int *uid) PAM_LIB_NOEXCEPT;
/* [40] Reports a login (request privilege 5). */
PAM_LIB_API int DM_LoginUser(const char *user) PAM_LIB_NOEXCEPT;
/* [27] Reads the privilege level of group gid into *level (request
 * privilege 4). 0 when the level was written. */
PAM_LIB_API int DM_GetPrivilegeLevel(int gid, int *level) PAM_LIB_NOEXCEPT;
/* [49] Sends a privilege level; the client context's own is not changed. */
PAM_LIB_API int DM_SetPrivilege(int level) PAM_LIB_NOEXCEPT;
/* [60] Stores len bytes of cred as user's credential record. user and cred
 * must not be NULL (-1, reported). */
PAM_LIB_API int DM_SetUserCred(const char *user, int len, const void *cred) PAM_LIB_NOEXCEPT;
/* [61] Fetches user's credential record: exactly len bytes into cred. 0 when
 * the daemon holds one. user and cred must not be NULL (-1, reported). */
PAM_LIB_API int DM_GetUserCred(const char *user, int len, void *cred) PAM_LIB_NOEXCEPT;
/* [57] Appends a line to the daemon's security log (line not NULL). */
PAM_LIB_API int DM_SecurityLogLine(const char *line) PAM_LIB_NOEXCEPT;
/* [59] Appends a line with a user name (both not NULL). */
PAM_LIB_API int DM_SecurityLogEntry(const char *user, const char *line) PAM_LIB_NOEXCEPT;
/* [58] Tells the daemon the client's IP address in text form (not NULL). */
PAM_LIB_API int DM_SetClientIp(const char *addr) PAM_LIB_NOEXCEPT;
/* [43] Fetches a trap: SM_TRAP_SIZE bytes into trap, len bytes into data. */
PAM_LIB_API int SM_GetTrap(void *trap, void *data, int len) PAM_LIB_NOEXCEPT;
/* [56] As SM_GetTrap with two data blocks of len1 and len2 bytes. */
PAM_LIB_API int SM_GetTrapAndData(void *trap, void *data1, int len1, void *data2, int len2) PAM_LIB_NOEXCEPT;
/* [44] The daemon's text for error word code into text (capacity len). */
PAM_LIB_API int DM_GetStrErr(int code, int len, char *text) PAM_LIB_NOEXCEPT;
/* [45] The host name into name (capacity len). */
PAM_LIB_API int DM_GetHostName(char *name, int len) PAM_LIB_NOEXCEPT;
/* [39] The daemon's environment value var into value (DM_TEXT_SIZE bytes). */
PAM_LIB_API int DM_GetEnv(const char *var, char *value) PAM_LIB_NOEXCEPT;
/* Sends nothing; returns 0. */
PAM_LIB_API int sDM_GetCtxQuiet(void) PAM_LIB_NOEXCEPT;

/* --- entity tree --- */
/* [4] Looks an entity up by its path text; *handle receives it. */
PAM_LIB_API int DM_EntityFind(const char *entity, int *handle) PAM_LIB_NOEXCEPT;
/* [7] Entity name into name (DM_NAME_SIZE bytes). */
PAM_LIB_API int DM_GetEntityName(int handle, char *name) PAM_LIB_NOEXCEPT;
/* [8] Entity path into path (DM_TEXT_SIZE bytes). */
PAM_LIB_API int DM_GetEntityPath(int handle, char *path) PAM_LIB_NOEXCEPT;
/* [9] Entity information text into text (DM_TEXT_SIZE bytes). */
PAM_LIB_API int DM_GetEntityInfo(int handle, char *text) PAM_LIB_NOEXCEPT;
/* [10] Handle of the parent into *parent (the top entity has none). */
PAM_LIB_API int DM_GetEntityParent(int handle, int *parent) PAM_LIB_NOEXCEPT;
/* [11] Starts this connection's walk over the children of handle: the first
 * child into *child, the number of children into *child_count. -1 when
 * there is none (the reference daemon's word 6, "End of list"). */
PAM_LIB_API int DM_GetEntityFirstChild(int handle, int *child, int *child_count) PAM_LIB_NOEXCEPT;
/* [12] Next child of the walk into *child; -1 at the end (word 6). */
PAM_LIB_API int DM_GetEntityNextChild(int handle, int *child) PAM_LIB_NOEXCEPT;
/* [20] Entity full name into name (DM_FULLNAME_SIZE bytes). */
PAM_LIB_API int DM_GetEntityFullName(int handle, char *name) PAM_LIB_NOEXCEPT;
/* [36] Whether the entity is hidden: the result (1 hidden, 0 not). */
PAM_LIB_API int DM_EntityHidden(int handle) PAM_LIB_NOEXCEPT;

/* --- parameter walks and metadata (names: DM_NAME_SIZE bytes) --- */
/* Types (the reference daemon): 1 integer, 2 string, 3 enumeration. Walk
 * names are full names ("system.network.eth0.mtu"). A walk keeps its
 * position in the daemon per connection and entity: hold the host's lock
 * from First to the last Next. */

/* [18] Starts the walk over the plain (dot-less) parameters of handle: the
 * first one's name, its *type, and the number of plain parameters in
 * *count. -1 when there is none (word 6). */
PAM_LIB_API int DM_GetFirstParam(int handle, char *name, int *type, int *count) PAM_LIB_NOEXCEPT;
/* [19] Next parameter of the walk: name (output only) and *type; -1 at the
 * end (word 6). */
PAM_LIB_API int DM_GetNextParam(int handle, char *name, int *type) PAM_LIB_NOEXCEPT;
/* [30] Starts the walk over the dot-parameters "group.*" of handle (group
 * "": every one): the first one's name and *type. */
PAM_LIB_API int DM_GetFirstDotParam(int handle, const char *group, char *name, int *type) PAM_LIB_NOEXCEPT;
/* [31] Next dot-parameter of the walk; name is output only. */
PAM_LIB_API int DM_GetNextDotParam(int handle, char *name) PAM_LIB_NOEXCEPT;
/* [15] Parameter information text into text (DM_TEXT_SIZE bytes). */
PAM_LIB_API int DM_GetParamInfo(const char *name, char *text) PAM_LIB_NOEXCEPT;
/* [21] Whether the parameter is an enumeration: *is_enum 1 or 0. */
PAM_LIB_API int DM_IsParamEnum(const char *name, int *is_enum) PAM_LIB_NOEXCEPT;
/* [22] Text of an integer value of the parameter into text (capacity len). */
PAM_LIB_API int DM_ConvertIntValToStr(const char *name, int value, int len, char *text) PAM_LIB_NOEXCEPT;
/* [23] Parameter type into *type (1 integer, 2 string, 3 enumeration). */
PAM_LIB_API int DM_GetParamType(const char *name, int *type) PAM_LIB_NOEXCEPT;
/* [24] Parameter bounds. The reference daemon: integer: min, max, default;
 * string: min and max length, the default's length; enumeration: lowest
 * and highest value, number of values (in *extra). */
PAM_LIB_API int DM_GetParamMinMax(const char *name, int *min, int *max, int *extra) PAM_LIB_NOEXCEPT;
/* [35] Steps through an enumeration's values: *pos (start at 0) is sent and
 * replaced by the next position, text receives the value's text (capacity
 * len); -1 past the last (word 6). */
PAM_LIB_API int DM_GetNextVal(const char *name, int len, int *pos, char *text) PAM_LIB_NOEXCEPT;
/* [41] Confirmation text for setting the parameter to value, into text
 * (capacity len). The reference daemon: result 1 and the text, or 0 and ""
 * when the parameter needs no confirmation. */
PAM_LIB_API int DM_GetParamConfirmationText(const char *name, const char *value, char *text, int len) PAM_LIB_NOEXCEPT;
/* [37] Whether a caller at level (-1: the caller's own) may read the
 * parameter: the result, 1 or 0. */
PAM_LIB_API int DM_CanGet(int level, const char *name) PAM_LIB_NOEXCEPT;
/* [38] Whether a caller at level (-1: the caller's own) may write the
 * parameter: the result, 1 or 0. */
PAM_LIB_API int DM_CanSet(int level, const char *name) PAM_LIB_NOEXCEPT;

/* --- commands: level is the level to answer for, -1 the caller's own --- */
/* [26] Executes a command with its argument string; the daemon may print,
 * ask for input, stream XML or run a command through the hooks before it
 * answers. The result is the command's. */
PAM_LIB_API int CMD_ExecCommand(int level, const char *command, const char *argument) PAM_LIB_NOEXCEPT;
/* [28] Starts this connection's command listing: the first command visible
 * at level, its name (DM_NAME_SIZE) and help text (DM_TEXT_SIZE), and the
 * number of visible commands in *count. */
PAM_LIB_API int CMD_GetFirstCommand(int level, char *name, char *text, int *count) PAM_LIB_NOEXCEPT;
/* [29] Next command of the listing; the buffers are output only; -1 at the
 * end (word 6). */
PAM_LIB_API int CMD_GetNextCommand(int level, char *name, char *text) PAM_LIB_NOEXCEPT;
/* [32] Steps through a command's options: the first option at index >= *pos
 * that starts with prefix into text (DM_TEXT_SIZE bytes), and *pos = its
 * index + 1; -1 when none is left (word 6). */
PAM_LIB_API int CMD_GetCmdOption(int level, const char *command, int *pos, const char *prefix, char *text) PAM_LIB_NOEXCEPT;
/* [33] Whether command exists and is visible at level: the result, 1 or 0. */
PAM_LIB_API int CMD_IsCommand(int level, const char *command) PAM_LIB_NOEXCEPT;
/* [42] Text to confirm before command runs with argument, into text
 * (capacity len): result 1 and the text, or 0 and "" (reference daemon). */
PAM_LIB_API int CMD_GetCommandConfirmationText(int level, const char *command, const char *argument, char *text, int len) PAM_LIB_NOEXCEPT;

/* ===== PAM authentication and sessions ==================================== */
/* @@section pam-sessions@@ */

struct pam_handle;

/* What the conversation answers from: the password (for a change, the
 * current one), the new password (NULL for a login) and the number of
 * hidden-input prompts answered so far. */
typedef struct PamConvData {
  const char *password;
  const char *new_password;
  int32_t prompt_count;
} PamConvData;

/* One open PAM session in the session table. idle_timeout and remaining
 * count monitor periods (minutes); -1 means the session never expires.
 * pam_handle is NULL once the PAM transaction has been ended. */
typedef struct SessionEntry {
  int32_t session_id;
  struct pam_handle *pam_handle;
  int32_t idle_timeout;
  int32_t remaining;
} SessionEntry;

/* Runs a PAM transaction (service "pam_lib_mgtd") for user/password with
 * PAM_RHOST rhost and PAM_TTY tty: authentication and account check. With
 * open_session non-zero it also connects to the daemon ("/tmp/mgtd1") when
 * the client context has no socket (that socket stays registered), sets the
 * context's privilege to 4 and leaves it there, fetches the user's
 * credential record into cred (cred_len bytes) or, when the daemon has
 * none, the privilege level of the user's primary group into its first 4
 * bytes (the rest untouched), reports the login, establishes credentials,
 * opens the session and stores it; *session_id receives its id, a counter
 * (1, 2, 3 ...), not a secret. It makes several remote calls: a threaded
 * host holds its daemon lock around it. Returns 0, a PAM result code, a
 * getpwnam_r error number, the daemon's result or -1. */
PAM_LIB_API int PAM_AuthUser(const char *user, const char *password, const char *rhost,
                             const char *tty, int open_session, int cred_len, void *cred,
                             int *session_id) PAM_LIB_NOEXCEPT;
/* Changes user's password from old_password to new_password through PAM.
 * Returns PAM's result code (0 on success). */
PAM_LIB_API int PAM_ChangePass(const char *user, const char *old_password,
                               const char *new_password) PAM_LIB_NOEXCEPT;

/* Creates the session table and starts the monitor thread, which expires
 * idle sessions once a minute. Call once before the first login with a
 * session; later calls return 0 and change nothing. Returns 0, -1 when the
 * table or its mutex failed, or the thread creation's error number. */
PAM_LIB_API int PAM_session_init(void) PAM_LIB_NOEXCEPT;
/* Gives a session an idle time-out in minutes (-1: never expires).
 * 0, or -1 for an unknown id. */
PAM_LIB_API int PAM_session_add(int session_id, int timeout) PAM_LIB_NOEXCEPT;
/* Restarts a session's idle count. 0, or -1 for an unknown id. */
PAM_LIB_API int PAM_session_check_and_refresh(int session_id) PAM_LIB_NOEXCEPT;
/* Closes a session, ends its PAM transaction and removes it from the table.
 * 0, or -1 for an unknown id. */
PAM_LIB_API int PAM_session_delete(int session_id) PAM_LIB_NOEXCEPT;
/* Closes a session and ends its PAM transaction, leaving it in the table.
 * Returns pam_close_session's result (0 when it was closed before), or -1
 * for an unknown id. */
PAM_LIB_API int PAM_CloseSession(int session_id) PAM_LIB_NOEXCEPT;
/* The monitor's per-session step, run with the table's lock held: counts
 * the session's time-out down and closes and removes it when it has run
 * out. arg is ignored. Always 0. */
PAM_LIB_API int sPAM_monitor_sessions(SessionEntry *session, void *arg) PAM_LIB_NOEXCEPT;

#if defined(__cplusplus)
}
#endif
#endif /* PAM_LIB_H */
