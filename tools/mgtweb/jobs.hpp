// A daemon command run from the browser: it runs on its own thread with the
// daemon lock held (the exchange is one long remote call), its printed
// output and questions become events the page reads as they come, and the
// page's answers travel back to the waiting prompt.
#pragma once

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "daemon_link.hpp"

namespace mgtweb {

class Job : public CommandSink {
 public:
  struct Event {
    std::string type;  // output, prompt, done
    nlohmann::json data;
  };

  void output(std::string_view text) override;
  std::optional<std::string> ask(const std::string &prompt, bool secret) override;

  // Hands the page's answer to the waiting prompt; false when none waits.
  bool answer(std::string text);
  // Makes a waiting or later prompt give up (logout, shutdown).
  void cancel();
  // Event number `index`; false when none came within `wait`.
  bool event(std::size_t index, Event &out, std::chrono::milliseconds wait);
  bool running() const;
  std::optional<std::string> xml() const;  // the command's XML result

  // How long a prompt waits for the page before the command is cancelled.
  static constexpr std::chrono::seconds kAnswerWait{120};

 private:
  friend void run_job(std::shared_ptr<Job>, Identity, std::string, std::string, std::string);
  void push(Event e);
  void finish(int result, const std::string &error, std::optional<std::string> xml);

  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<Event> events_;
  bool asking_ = false, cancelled_ = false, done_ = false;
  std::optional<std::string> answer_;
  std::optional<std::string> xml_;
};

// Starts `command` with `options` for a user; the job runs on.
std::shared_ptr<Job> start_job(const Identity &who, const std::string &command,
                               const std::string &options, const std::string &client_ip);

// Creates the directory the library writes XML results into, when missing.
void ensure_xml_dir();

}  // namespace mgtweb
