#include "jobs.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <pam_lib.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <thread>

namespace mgtweb {

namespace {

// Results larger than this are not offered (the example's is ~10 KiB).
constexpr off_t kMaxXml = 8 * 1024 * 1024;

// Reads and removes the XML result the library left for this process. The
// file is only ever opened without following links and must be ours.
std::optional<std::string> take_xml(const char *name) {
  int fd = open(name, O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  struct stat st {};
  std::optional<std::string> out;
  if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == geteuid() && st.st_size <= kMaxXml) {
    std::string text(static_cast<std::size_t>(st.st_size), '\0');
    std::size_t got = 0;
    while (got < text.size()) {
      ssize_t n = read(fd, text.data() + got, text.size() - got);
      if (n <= 0) break;
      got += static_cast<std::size_t>(n);
    }
    text.resize(got);
    out = std::move(text);
  }
  close(fd);
  unlink(name);
  return out;
}

}  // namespace

// Made 0755, never writable by everyone: other users could plant files at
// the library's predictable XML names.
void ensure_xml_dir() {
  struct stat st {};
  if (stat("/mnt/temp", &st) == 0) return;
  mkdir("/mnt", 0755);
  if (mkdir("/mnt/temp", 0755) != 0 && errno != EEXIST)
    std::fprintf(stderr, "mgtweb: cannot create /mnt/temp (%s): XML results will be lost\n", std::strerror(errno));
}

void Job::push(Event e) {
  {
    std::lock_guard<std::mutex> hold(mutex_);
    events_.push_back(std::move(e));
  }
  changed_.notify_all();
}

void Job::output(std::string_view text) { push({"output", std::string(text)}); }

std::optional<std::string> Job::ask(const std::string &prompt, bool secret) {
  std::unique_lock<std::mutex> hold(mutex_);
  if (cancelled_) return std::nullopt;
  asking_ = true;
  answer_.reset();
  events_.push_back({"prompt", {{"text", prompt}, {"secret", secret}}});
  changed_.notify_all();
  changed_.wait_for(hold, kAnswerWait, [this] { return answer_.has_value() || cancelled_; });
  asking_ = false;
  std::optional<std::string> a = std::move(answer_);
  answer_.reset();
  return a;
}

bool Job::answer(std::string text) {
  {
    std::lock_guard<std::mutex> hold(mutex_);
    if (!asking_ || answer_) return false;
    answer_ = std::move(text);
  }
  changed_.notify_all();
  return true;
}

void Job::cancel() {
  {
    std::lock_guard<std::mutex> hold(mutex_);
    cancelled_ = true;
  }
  changed_.notify_all();
}

bool Job::event(std::size_t index, Event &out, std::chrono::milliseconds wait) {
  std::unique_lock<std::mutex> hold(mutex_);
  if (!changed_.wait_for(hold, wait, [&] { return index < events_.size(); })) return false;
  out = events_[index];
  return true;
}

bool Job::running() const {
  std::lock_guard<std::mutex> hold(mutex_);
  return !done_;
}

std::optional<std::string> Job::xml() const {
  std::lock_guard<std::mutex> hold(mutex_);
  return xml_;
}

void Job::finish(int result, const std::string &error, std::optional<std::string> xml) {
  {
    std::lock_guard<std::mutex> hold(mutex_);
    done_ = true;
    xml_ = std::move(xml);
    nlohmann::json d = {{"result", result}, {"xml", xml_.has_value()}};
    if (!error.empty()) d["error"] = error;
    events_.push_back({"done", d});
  }
  changed_.notify_all();
}

void run_job(std::shared_ptr<Job> job, Identity who, std::string command, std::string options,
             std::string client_ip) {
  int r = -1;
  std::string error;
  std::optional<std::string> xml;
  {
    DaemonLock lock(&who, job.get());
    if (!client_ip.empty()) DM_SetClientIp(client_ip.c_str());
    // The library appends XML output to this file: start from none, so
    // that what is there afterwards is this command's result.
    std::string name = GetXMLFileName();
    unlink(name.c_str());
    r = CMD_ExecCommand(-1, command.c_str(), options.c_str());
    if (r == -1) error = lock.last_error();
    xml = take_xml(name.c_str());
  }
  job->finish(r, error, std::move(xml));
}

std::shared_ptr<Job> start_job(const Identity &who, const std::string &command,
                               const std::string &options, const std::string &client_ip) {
  auto job = std::make_shared<Job>();
  std::thread(run_job, job, who, command, options, client_ip).detach();
  return job;
}

}  // namespace mgtweb
