// Config-file editing: reading a key's value, finding and appending lines,
// rewriting the lines that carry a tag, and in-place edits by the stream
// editor. Every argument that goes into a shell command is quoted, and every
// text that goes into a sed script is escaped, so that it is taken
// literally.
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <new>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include "common/alloc.hpp"
#include "common/log.hpp"
#include "common/raii.hpp"
#include "util_linux.h"
#include "util_linux/file_replace.hpp"
#include "util_linux/process.hpp"
#include "util_linux/shell_quote.hpp"

namespace {

// Numbers the temporary copies of replace_tag_lines; the first call uses 1.
std::atomic<int> g_copy_counter{0};

constexpr std::size_t kPieceSize = 8192;
constexpr std::string_view kWhite = " \t\n\v\f\r";

void fail(int n) {
  char text[64];
  std::snprintf(text, sizeof text, "replace_tag_lines: file not changed. %d", n);
  std::perror(text);
}

// Builds a composed name or command; false when memory runs out.
template <typename F>
bool compose(std::string &out, F &&build) noexcept {
  try {
    out = build();
    return true;
  } catch (...) {
    return false;
  }
}

bool put(std::FILE *f, std::string_view s) {
  return s.empty() || std::fwrite(s.data(), 1, s.size(), f) == s.size();
}

// Opens the file an edit replaces for reading, with its status. Absent:
// `missing` set, null returned. A FIFO or device is not read (no hang).
pl::UniqueFile open_original(const std::string &path, struct stat &st, bool &missing) {
  missing = false;
  pl::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  if (!fd) {
    missing = errno == ENOENT;
    return nullptr;
  }
  if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return nullptr;
  pl::UniqueFile f(::fdopen(fd.get(), "re"));
  if (f) fd.release();
  return f;
}

// Leading white space of a line, as the tag test sees it.
std::size_t skip_white(std::string_view s) {
  std::size_t i = s.find_first_not_of(kWhite);
  return i == std::string_view::npos ? s.size() : i;
}

// The new text of sed's c command. Leading blanks are dropped, as sed does
// for a text on the command's own line; an empty text is left empty, which
// sed refuses.
std::string change_text(std::string_view text) {
  std::size_t i = text.find_first_not_of(" \t");
  if (i == std::string_view::npos) return {};
  return "\\\n" + pl::sed_text(text.substr(i));
}

// Runs "/bin/sed -i SCRIPT PATH"; the command lives in a heap string.
// Returns false in `composed` when it cannot be composed. sed -i renames a
// new file over the one it names, so it is given the end of a symlink chain
// at PATH: the link stays a link and its target is edited.
int run_sed(const std::string &script, const char *path, bool &composed) noexcept {
  std::string command;
  composed = compose(command, [&] {
    std::string target = pl::edit_target(path);
    return "/bin/sed -i " + pl::shell_quote(script) + " " + pl::shell_path(target.empty() ? path : target);
  });
  if (!composed) return 0;
  pl::MallocPtr<char> heap(pl::dup_string(command));
  if (!heap) {
    composed = false;
    return 0;
  }
  return system_unmasked(heap.get());
}

// The three key/prefix edits share their reporting.
int sed_edit(const char *key, const char *text, const char *path,
             std::string (*script)(const char *, const char *)) noexcept {
  if (!key || !text || !path) return 1;
  std::string s;
  if (!compose(s, [&] { return script(key, text); })) return 1;
  bool composed = false;
  int r = run_sed(s, path, composed);
  if (!composed) return 1;
  if (r != 0) std::perror("sed did not changed %s file\n");
  return r;
}

}  // namespace

extern "C" {

PAM_LIB_API char *add_text(char **out, const char *first, const char *second) noexcept {
  std::string_view a = first ? first : "", b = second ? second : "";
  auto *s = static_cast<char *>(pl::alloc(a.size() + b.size() + 1));
  if (s) {
    std::memcpy(s, a.data(), a.size());
    std::memcpy(s + a.size(), b.data(), b.size());
    s[a.size() + b.size()] = '\0';
  }
  if (out) *out = s;
  return s;
}

PAM_LIB_API char *remove_trail(const char *text, unsigned char ch) noexcept {
  if (!text) return nullptr;
  char *copy = pl::dup_string(text);
  if (!copy) {
    errno = ENOMEM;
    pl::log_msg(LOG_ERR, "remove_trail: strdup error: %s", std::strerror(errno));
    return const_cast<char *>(text);
  }
  std::size_t n = std::strlen(copy);
  while (n > 0 && static_cast<unsigned char>(copy[n - 1]) == ch) copy[--n] = '\0';
  return copy;
}

PAM_LIB_API int find_config_line(char **line, int32_t *counter, const char *key, int sep,
                                 std::FILE *stream) noexcept {
  if (!line || !key || !stream) return -1;
  // Key delimiters: the separator, a blank and a tab (none when the
  // separator is NUL, as the C string they form is then empty).
  char delims[4];
  std::snprintf(delims, sizeof delims, "%c \t", sep);
  const std::string_view key_delims(delims), value_delims(" \t\n");
  const std::string_view wanted(key);

  *line = nullptr;
  std::size_t cap = 0;
  for (;;) {
    ssize_t len = ::getdelim(line, &cap, '\n', stream);
    if (len < 0) return -1;
    if (counter) ++*counter;
    char *l = *line;
    if (l[0] == '#') continue;
    // Tokens are found by position, without strtok's process-wide state.
    std::string_view s(l);
    std::size_t start = s.find_first_not_of(key_delims);
    if (start == std::string_view::npos) continue;
    std::size_t end = s.find_first_of(key_delims, start);
    if (end == std::string_view::npos) end = s.size();
    std::string_view token = s.substr(start, end - start);
    if (token.size() < wanted.size() || token.substr(0, wanted.size()) != wanted) continue;
    std::string_view value;
    if (end < s.size()) {
      std::size_t vs = s.find_first_not_of(value_delims, end + 1);
      if (vs != std::string_view::npos) {
        std::size_t ve = s.find_first_of(value_delims, vs);
        value = s.substr(vs, (ve == std::string_view::npos ? s.size() : ve) - vs);
      }
    }
    if (!value.empty()) std::memmove(l, value.data(), value.size());
    std::memset(l + value.size(), 0, cap - value.size());
    return 0;
  }
}

PAM_LIB_API int append_line(const char *text, std::FILE *stream) noexcept {
  if (!text || !stream) return -1;
  if (::fseeko(stream, 0, SEEK_END) != 0) return -1;
  return std::fputc('\n', stream) | std::fputs(text, stream);
}

PAM_LIB_API int replace_tag_lines(const char *tag, char *const *lines, int32_t count,
                                  const char *path, int comment) noexcept {
  if (!tag || !path) return -2;
  const int number = g_copy_counter.fetch_add(1, std::memory_order_relaxed) + 1;
  // The new content is written beside the file that is finally replaced:
  // the end of a symlink chain at path, so the link stays a link.
  std::string target, temp, remove_cmd;
  if (!compose(target, [&] { return pl::edit_target(path); }) || target.empty() ||
      !compose(temp, [&] { return target + ".cp." + std::to_string(number); })) {
    fail(1);
    return -2;
  }
  if (!compose(remove_cmd, [&] {
        std::string cmd = "/bin/rm -f " + pl::shell_path(path) + ".cp.*";
        if (target != path) {
          cmd += ' ';  // appended piece by piece: GCC 12 warns falsely on " " + string
          cmd += pl::shell_path(target);
          cmd += ".cp.*";
        }
        return cmd;
      })) {
    fail(3);
    return -2;
  }
  if (pl::run_command(remove_cmd) != 0) {
    fail(2);
    return -2;
  }
  struct stat st;
  bool missing = false;
  pl::UniqueFile in = open_original(target, st, missing);
  if (!in && !missing) {
    fail(6);
    return -2;
  }
  // Created exclusively: a link or file placed at the name makes it fail.
  pl::FileReplacement repl(target, temp, in ? &st : nullptr);
  if (!repl.ok()) {
    fail(4);
    return -2;
  }
  std::FILE *out = repl.stream();

  const bool replacing = lines != nullptr;
  const int32_t n_lines = replacing && count > 0 ? count : 0;
  const std::string_view prefix = comment ? "#" : "";
  const std::string_view wanted(tag);
  bool ok = true;
  auto put_block = [&] {
    for (int32_t i = 0; i < n_lines && ok; ++i)
      ok = put(out, prefix) && put(out, lines[i] ? lines[i] : "") && put(out, "\n");
  };

  int found = 0;
  char buf[kPieceSize];
  while (ok && in && std::fgets(buf, sizeof buf, in.get())) {
    std::string_view piece(buf);
    std::string_view text = piece.substr(skip_white(piece));
    bool tagged = text.substr(0, wanted.size()) == wanted ||
                  (piece.size() > 0 && piece[0] == '#' &&
                   piece.substr(1, wanted.size()) == wanted);
    if (!tagged) {
      ok = put(out, piece);  // untagged lines are kept as they are
      continue;
    }
    ++found;
    if (replacing) {
      if (found == 1) put_block();
    } else {
      if (!text.empty() && text[0] == '#') text.remove_prefix(1);
      ok = put(out, prefix) && put(out, text);
    }
  }
  if (in && std::ferror(in.get())) ok = false;
  if (ok && found == 0 && n_lines > 0) {
    ok = put(out, "\n\n");
    put_block();
    found = 1;
  }
  in.reset();
  if (!ok || !repl.commit()) {
    // The file was never touched; the new content is thrown away.
    fail(10);
    return -2;
  }

  std::string final_cmd;
  if (!compose(final_cmd, [&] { return remove_cmd; })) {
    fail(9);
  } else if (pl::run_command(final_cmd) != 0) {
    fail(8);
  }
  return found;
}

PAM_LIB_API int set_tag_comment(const char *tag, const char *path, int comment) noexcept {
  return replace_tag_lines(tag, nullptr, -1, path, comment);
}

PAM_LIB_API int replace_line(int32_t line, const char *text, const char *path) noexcept {
  if (!text || !path) return -1;
  std::string script;
  if (!compose(script, [&] { return std::to_string(line) + "c" + change_text(text); })) return -1;
  bool composed = false;
  int r = run_sed(script, path, composed);
  if (!composed) return -1;
  if (r != 0) std::perror("sed did not change file");
  return -r;
}

PAM_LIB_API int find_and_replace_line(const char *key, const char *text, const char *path) noexcept {
  return sed_edit(key, text, path, [](const char *k, const char *t) {
    return "/^" + pl::sed_regex(k) + " *= */c" + change_text(t);
  });
}

PAM_LIB_API int find_text_and_replace_line(const char *prefix, const char *text,
                                           const char *path) noexcept {
  return sed_edit(prefix, text, path, [](const char *k, const char *t) {
    return "/^" + pl::sed_regex(k) + "/c" + change_text(t);
  });
}

PAM_LIB_API int find_text_and_replace_text(const char *prefix, const char *replacement,
                                           const char *path) noexcept {
  return sed_edit(prefix, replacement, path, [](const char *k, const char *t) {
    return "s/^" + pl::sed_regex(k) + "/" + pl::sed_replacement(t) + "/";
  });
}

PAM_LIB_API int32_t find_line_occurrence(const char *key, char *buf, int32_t size, int32_t n,
                                         const char *path) noexcept {
  // fgets needs room for one character to make progress.
  if (!key || !buf || !path || size < 2 || n < 1) return -1;
  pl::UniqueFile f(std::fopen(path, "re"));
  if (!f) return -1;
  const std::size_t len = std::strlen(key);
  int32_t number = 0, seen = 0;
  while (std::fgets(buf, size, f.get())) {
    ++number;
    if (std::strncmp(buf, key, len) == 0 && ++seen == n) return number;
  }
  return -1;
}

PAM_LIB_API int find_line(const char *key, char *buf, const char *path, int32_t size) noexcept {
  if (!key || !buf || !path || size < 2) return -1;
  pl::UniqueFile f(std::fopen(path, "re"));
  if (!f) return -2;
  const std::size_t len = std::strlen(key);
  while (std::fgets(buf, size, f.get()))
    if (std::strncmp(buf, key, len) == 0) return 0;
  return -1;
}

}  // extern "C"
