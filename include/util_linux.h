/*
 * System utilities shared by the front-ends: strings and numbers, shell
 * commands and processes, config-file editing, XML, package queries,
 * statistics and NFS mounts.
 */
#ifndef UTIL_LINUX_H
#define UTIL_LINUX_H

#include <stdint.h>
#include <stddef.h>
#include <stdio.h>

#ifndef PAM_LIB_API
#if defined(PAM_LIB_BUILDING)
#define PAM_LIB_API __attribute__((visibility("default")))
#else
#define PAM_LIB_API
#endif
#endif
#ifndef PAM_LIB_NOEXCEPT
#if defined(__cplusplus)
#define PAM_LIB_NOEXCEPT noexcept
#else
#define PAM_LIB_NOEXCEPT
#endif
#endif

#if defined(__cplusplus)
extern "C" {
#endif

/* ===== String, number and thread helpers ================================== */

/* 1 when every byte lies in 0x20..0x7F (NULL too): control characters such
 * as a tab fail, unlike is_ascii_7 (pam_lib.h), which passes them. */
PAM_LIB_API int UTILS_is_ascii_7(const char *str) PAM_LIB_NOEXCEPT;
/* Nonzero for '0'..'9'; c is an unsigned char value or EOF. */
PAM_LIB_API int is_digit(int c) PAM_LIB_NOEXCEPT;
/* Fills the table for CRC-32, polynomial 0x04C11DB7, MSB first. Call once
 * before any thread uses crc32_stream. */
PAM_LIB_API void crc32_init(void) PAM_LIB_NOEXCEPT;
/* Feeds len bytes into *crc (no initial value, final XOR or reflection). */
PAM_LIB_API void crc32_stream(uint32_t *crc, const void *data, int32_t len) PAM_LIB_NOEXCEPT;
/* Copies at most size-1 characters; dst is always terminated (size >= 1). */
PAM_LIB_API char *xstrncpy(char *dst, const char *src, size_t size) PAM_LIB_NOEXCEPT;
/* Appends within a buffer of capacity size; unchanged when it is full. */
PAM_LIB_API char *xstrncat(char *dst, const char *src, size_t size) PAM_LIB_NOEXCEPT;
/* Atomically: if *word == expected, store desired and return 1; else 0. */
PAM_LIB_API int check_and_set(volatile uint32_t *word, uint32_t expected, uint32_t desired) PAM_LIB_NOEXCEPT;
/* Atomically adds delta; returns the new value (mod 2^32). */
PAM_LIB_API uint32_t atomic_inc(volatile uint32_t *word, uint32_t delta) PAM_LIB_NOEXCEPT;
/* Index of the first non-NULL entry equal to str among count, or -1. */
PAM_LIB_API int32_t util_FindStrInArray(const char *str, const char *const *array, int32_t count) PAM_LIB_NOEXCEPT;
/* 0: SCHED_OTHER; other values: SCHED_RR with that priority. 0 or -1. */
PAM_LIB_API int util_SetCurThreadPriority(int32_t priority) PAM_LIB_NOEXCEPT;
/* 0 under SCHED_OTHER, else the real-time priority (0 if unknown). */
PAM_LIB_API int32_t util_GetCurThreadPriority(void) PAM_LIB_NOEXCEPT;
/* Reverses the first min(strlen, maxlen) bytes in place. */
PAM_LIB_API char *strnrev(char *str, size_t maxlen) PAM_LIB_NOEXCEPT;
/* ASCII case-insensitive comparison (only 'A'..'Z' are folded). */
PAM_LIB_API int stricmp(const char *a, const char *b) PAM_LIB_NOEXCEPT;
/* As stricmp over at most count pairs; count 0 gives 0. */
PAM_LIB_API int strnicmp(const char *a, const char *b, size_t count) PAM_LIB_NOEXCEPT;
/* Parses a 64-bit number: base 0 allows a trailing 'b' for binary and a
 * leading '~' inverts all bits. 0 on success, -1 leaving *result alone. */
PAM_LIB_API int safe_parse_number(const char *text, int64_t *result, int32_t base) PAM_LIB_NOEXCEPT;

/* ===== Shell commands and processes ======================================= */
/* @@section processes@@ */

/* A wait status is the status word waitpid reports: for a normal exit, the
 * exit status times 256 (an exit status of 1 gives 256). */

/* The words SV_service_control passes to "service", by operation index:
 * "start", "stop", "status", "restart", "reload", "condrestart". */
extern PAM_LIB_API const char *const serviceCommand_str[6];

/* 0 when process pid exists (also when it belongs to another user), -1 when
 * it does not, -3 for a negative pid. */
PAM_LIB_API int process_status(int32_t pid) PAM_LIB_NOEXCEPT;
/* The positive process id in the first 12 bytes of the pid file at path, or
 * -1. */
PAM_LIB_API int32_t read_pidfile(const char *path) PAM_LIB_NOEXCEPT;
/* Runs command through the shell and returns up to 8191 bytes of its output
 * as a string in a heap buffer of 8192 bytes (the caller frees it), or NULL;
 * output beyond 8191 bytes is not read. *size is set to 0, then to the
 * buffer's capacity, 8192, whatever the output's length; *status receives
 * the shell's raw wait status (-1 when it cannot be had). size and status
 * may be NULL. */
PAM_LIB_API char *run_shell_cmnd(const char *command, int32_t *status, int32_t *size) PAM_LIB_NOEXCEPT;
/* Reads the output line of "pidof name" (blank-separated process ids) into
 * buf of size bytes, zero-filled first; empty when no process matched.
 * 0, or -1 when the command cannot be run. */
PAM_LIB_API int get_pidof(const char *name, char *buf, int32_t size) PAM_LIB_NOEXCEPT;
/* Resident set size of process pid in pages, or 0. */
PAM_LIB_API int32_t get_proc_mem(int32_t pid) PAM_LIB_NOEXCEPT;
/* Runs the program argv[0] (no PATH search, no shell) with argv and envp in
 * a child with every signal unblocked and the normal scheduling policy, and
 * waits for it. 0 when it exited with status 0, else -1. */
PAM_LIB_API int system_unblocked(char *const argv[], char *const envp[]) PAM_LIB_NOEXCEPT;
/* Runs a shell command with every signal unblocked and waits for it.
 * Returns its wait status, or -1 when it cannot be run. A command ended by
 * a signal gives 0, as success does: to tell them apart use
 * run_shell_cmnd's raw status. */
PAM_LIB_API int system_unmasked(const char *command) PAM_LIB_NOEXCEPT;
/* Unblocks every signal for the calling thread: 0 or an error number. */
PAM_LIB_API int unmask_signals(void) PAM_LIB_NOEXCEPT;
/* Opens the existing file at path and takes an exclusive flock on it,
 * waiting for other holders. The descriptor, or -1. */
PAM_LIB_API int util_flock(const char *path) PAM_LIB_NOEXCEPT;
/* Releases and closes a descriptor from util_flock; path names it in
 * messages. 0, or -1 when unlocking or closing failed. */
PAM_LIB_API int util_funlock(const char *path, int fd) PAM_LIB_NOEXCEPT;
/* Runs "service <name> <serviceCommand_str[op]>", op 0..5. 0 on success,
 * minus the wait status when the command failed, 1 when it could not be
 * run, -1 for a NULL name or an op outside 0..5 (nothing is run). A name
 * other than letters, digits and @ . _ + - (or starting with '-' or '.')
 * also gives -1 with a syslog line and runs nothing. */
PAM_LIB_API int SV_service_control(const char *service, int32_t op) PAM_LIB_NOEXCEPT;

/* ===== Config-file editing ================================================= */
/* @@section config-files@@ */

/* Concatenates two texts (NULL counts as empty) into a new heap string,
 * stored in *out too; NULL (also in *out) when memory runs out. The caller
 * frees it. */
PAM_LIB_API char *add_text(char **out, const char *first, const char *second) PAM_LIB_NOEXCEPT;
/* A heap copy of text without its trailing run of ch (the caller frees it);
 * text itself when no copy can be made. */
PAM_LIB_API char *remove_trail(const char *text, unsigned char ch) PAM_LIB_NOEXCEPT;
/* Reads stream from its position to the next non-comment line whose first
 * token (delimited by sep, blank or tab) begins with key (a prefix match:
 * key "port" takes "portal 8080"); *line then holds the value, the next
 * token delimited by blanks only, in a heap buffer the caller frees, also
 * after -1. So "key=value" gives "value" but "key = value" gives "=".
 * *counter is incremented for every line read. 0 found, -1 end of stream.
 * Keeps no process-wide state. */
PAM_LIB_API int find_config_line(char **line, int32_t *counter, const char *key, int sep,
                                 FILE *stream) PAM_LIB_NOEXCEPT;
/* Writes a newline and text at the end of stream. Negative on failure. */
PAM_LIB_API int append_line(const char *text, FILE *stream) PAM_LIB_NOEXCEPT;
/* Comments out (comment != 0) or uncomments every line of the file at path
 * that carries tag. As replace_tag_lines. */
PAM_LIB_API int set_tag_comment(const char *tag, const char *path, int comment) PAM_LIB_NOEXCEPT;
/* Rewrites the file at path: the lines carrying tag (directly
 * after leading white space, or right after a '#' in the first column) are
 * replaced as a block by the count lines (each prefixed with '#' when
 * comment != 0), appended after two newlines when none is found; with lines
 * NULL every tagged line is commented out or uncommented instead. Other
 * lines are kept as they are. Returns the number of tagged lines (1 when the
 * block was appended), or -2 with the file unchanged. The new content is
 * written to an exclusively created path.cp.N with the file's owner, group
 * and mode and renamed over the file (over a symlink's target, so the link
 * stays a link): a crash leaves the old or the new content. */
PAM_LIB_API int replace_tag_lines(const char *tag, char *const *lines, int32_t count,
                                  const char *path, int comment) PAM_LIB_NOEXCEPT;
/* Replaces line number line (from 1) of the file at path by text, with sed.
 * A symlink at path stays a link: this and the three edits below edit its
 * target.
 * 0 on success, -1 when the command cannot be composed, minus the wait
 * status when sed failed, 1 when it could not be run. */
PAM_LIB_API int replace_line(int32_t line, const char *text, const char *path) PAM_LIB_NOEXCEPT;
/* Replaces every line that starts with key, optional blanks, '=' and
 * optional blanks by text, with sed; key is a basic regular expression.
 * 0 on success, 1 when the command cannot be composed, else the non-zero
 * result of system_unmasked. */
PAM_LIB_API int find_and_replace_line(const char *key, const char *text, const char *path) PAM_LIB_NOEXCEPT;
/* As find_and_replace_line for every line that starts with prefix (a basic
 * regular expression). */
PAM_LIB_API int find_text_and_replace_line(const char *prefix, const char *text,
                                           const char *path) PAM_LIB_NOEXCEPT;
/* Replaces the leading prefix (a basic regular expression) of every line
 * that starts with it by replacement, which is taken literally. As
 * find_and_replace_line. */
PAM_LIB_API int find_text_and_replace_text(const char *prefix, const char *replacement,
                                           const char *path) PAM_LIB_NOEXCEPT;
/* Line number (from 1) of the n-th line (n >= 1) of the file at path that
 * starts with key; buf (size bytes, lines longer than size-1 are read in
 * pieces) then holds that line. -1 when there is none or the file cannot be
 * opened. */
PAM_LIB_API int32_t find_line_occurrence(const char *key, char *buf, int32_t size, int32_t n,
                                         const char *path) PAM_LIB_NOEXCEPT;
/* Reads the first line of the file at path that starts with key into buf
 * (size bytes). 0 found, -1 not found, -2 the file cannot be opened. */
PAM_LIB_API int find_line(const char *key, char *buf, const char *path, int32_t size) PAM_LIB_NOEXCEPT;

/* ===== XML output and parsing ============================================== */
/* @@section xml@@ */

/* Writes "<name>text</name>" to stream after indent tabs, with & " < >
 * escaped as entities (other bytes unchanged; name is not escaped).
 * Returns 0, or -1 when any write failed (the output goes on regardless).
 * A NULL text writes nothing and returns 0. */
PAM_LIB_API int XmlPrintStr(FILE *stream, const char *name, const char *text, int indent) PAM_LIB_NOEXCEPT;
/* As XmlPrintStr followed by "\n" (not written when XmlPrintStr failed).
 * Returns 0, or -1 when any write failed; NULL text: nothing, 0. */
PAM_LIB_API int XmlPrintLine(FILE *stream, const char *name, const char *text, int indent) PAM_LIB_NOEXCEPT;

/* Parse context of expat_XMLParse, one allocation per parse (the text buffer
 * and the field_values array lie in it). The record callback reads the
 * field texts through field_values; they stay valid until it returns. */
typedef struct XmlParseCtx XmlParseCtx;
/* Called at the end tag of every record element; the result is ignored.
 * It may set ctx->error, which is OR-ed into the parse result. */
typedef int (*XmlRecordCallback)(XmlParseCtx *ctx, uintptr_t arg);
#define XML_PARSE_TEXT_BUFFER_SIZE 4096
struct XmlParseCtx {
  char *text_buffer;               /* XML_PARSE_TEXT_BUFFER_SIZE bytes */
  char *cursor;                    /* next text byte; NULL before the first record */
  char **field_values;             /* field_count entries: text of field i, or NULL */
  const char *const *field_names;  /* the caller's field element names */
  const char *record_name;         /* the caller's record element name */
  int32_t field_count;
  int32_t in_field;                /* 1 while character data belongs to a field */
  uintptr_t cb_arg;                /* the caller's argument word */
  XmlRecordCallback record_callback;
  int32_t error;                   /* OR-ed into the result */
};
/* Parses the XML file `file` and calls `callback(ctx, arg)` once per
 * `record` element, in document order, with the texts of the `count` field
 * elements named in `names` (NULL for a field absent from the record).
 * Returns 0, or -1 when the file cannot be opened or parsed, when a record
 * does not fit the text buffer, or when the callback set ctx->error to -1.
 * Needs expat, which the host links (pkg-config pam_lib-xml, CMake
 * pam_lib::xml): in a host without it, -1 and one syslog line. */
PAM_LIB_API int expat_XMLParse(const char *file, const char *const *names, int count, const char *record,
                               XmlRecordCallback callback, uintptr_t arg) PAM_LIB_NOEXCEPT;
/* Expat character-data handler of expat_XMLParse (its user-data argument is
 * the parser, whose own user data is the parse context that expat_XMLParse
 * created); it is meant only for parsers set up by expat_XMLParse. */
PAM_LIB_API void char_hndl(void *parser, const char *text, int len) PAM_LIB_NOEXCEPT;

/* ===== Package database queries ============================================ */
/* @@section rpmdb@@ */

/* An RPM package header (librpm's Header). */
struct headerToken_s;
/* The package queries need librpm, which the host links (pkg-config
 * pam_lib-rpmdb, CMake pam_lib::rpmdb). In a host without it each call
 * writes one syslog line and fails: -1, readHeaderString NULL,
 * rpmdb_count_packages 0. */

/* Version ("version-release") and install time ("%d/%b/%y-%H:%M:%S", local
 * time) of the installed package `name`; the instance installed last wins.
 * Either buffer may be NULL. Returns 0 when installed (time buffer empty and
 * a LOG_WARNING when the header has no install time), -1 when not (buffers
 * untouched). */
PAM_LIB_API int find_rpmdb_package_info(const char *name, char *version, unsigned int version_size, char *time_buf,
                                        unsigned int time_size) PAM_LIB_NOEXCEPT;
/* Version ("version-release") of the installed package owning the file at
 * absolute `path` (the one installed last). version may be NULL. Returns 0
 * when some package owns it, else -1. */
PAM_LIB_API int find_rpmdb_file_version(const char *path, char *version, unsigned int version_size) PAM_LIB_NOEXCEPT;
/* The string value of `tag` inside `header` (owned by the header), or NULL
 * when the tag is missing or not a plain string. */
PAM_LIB_API const char *readHeaderString(struct headerToken_s *header, int32_t tag) PAM_LIB_NOEXCEPT;
/* Number of installed packages named `name` (0 when none). */
PAM_LIB_API int rpmdb_count_packages(const char *name) PAM_LIB_NOEXCEPT;

/* ===== System statistics =================================================== */
/* @@section statistics@@ */

/* Copies the running kernel's release into buf with strncpy semantics
 * (terminated only when shorter than size). 0, or -1 when uname fails. */
PAM_LIB_API int get_kernel_release(char *buf, unsigned int size) PAM_LIB_NOEXCEPT;
/* Free bytes of the root file system (reserved blocks included); 0 when
 * statvfs fails. */
PAM_LIB_API uint64_t UTILS_get_free_disk_space(void) PAM_LIB_NOEXCEPT;
/* Used and free bytes of the root file system; a count beyond 32 bits is
 * reported as 0xFFFFFFFF. Either pointer may be NULL. 0, or -1 when
 * statvfs fails (outputs untouched). */
PAM_LIB_API int UTILS_get_disk_stats(uint32_t *used, uint32_t *free_bytes) PAM_LIB_NOEXCEPT;
/* Memory in use as a whole percentage of the total, from the output of
 * "free"; -1 on failure (logged). */
PAM_LIB_API int32_t UTIL_GetMemUtilization(void) PAM_LIB_NOEXCEPT;
/* Processor busy time as a whole percentage (100 minus the idle column of
 * "mpstat", rounded); -1 on failure (logged). */
PAM_LIB_API int32_t UTIL_GetCPUUtilization(void) PAM_LIB_NOEXCEPT;

/* ===== NFS mounts ========================================================== */
/* @@section nfs@@ */

/* Makes mount_point ready: when it is a directory, unmounts whatever is
 * mounted there ("umount", forced when force != 0) and returns 0 whatever
 * the outcome; otherwise creates it with mode 0775, and its parent when
 * that is missing (one level only). 0, or -1 when it cannot be created. */
PAM_LIB_API int clean_mountPoint(const char *mount_point, int force) PAM_LIB_NOEXCEPT;
/* Mounts the NFS export source on mount_point, read-only when bit 0 of
 * flags is set. 0, or -1 when the mount command failed. */
PAM_LIB_API int nfs_mount(const char *source, const char *mount_point, uint32_t flags) PAM_LIB_NOEXCEPT;
/* clean_mountPoint (not forced), then nfs_mount. 0, or -1 when either
 * failed. */
PAM_LIB_API int nfs_clean_mount(const char *source, const char *mount_point, uint32_t flags) PAM_LIB_NOEXCEPT;

#if defined(__cplusplus)
}
#endif
#endif /* UTIL_LINUX_H */
