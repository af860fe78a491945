#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <variant>

#include "finder/src/lib/failure.hpp"

namespace ostrevane {

// What an attempt is doing now.
struct Searching {
  bool operator==(const Searching&) const = default;
};
struct BoxFound {
  std::string slug;
  std::string product;
  bool operator==(const BoxFound&) const = default;
};
struct Downloading {
  std::uint64_t done = 0;
  std::uint64_t total = 0;  // 0 when the box announced no length
  bool operator==(const Downloading&) const = default;
};
struct Installing {
  bool operator==(const Installing&) const = default;
};
using ProgressUpdate = std::variant<Searching, BoxFound, Downloading, Installing>;

// Where an attempt stands: running with its latest update, or ended.
struct Progress {
  ProgressUpdate update;
  bool operator==(const Progress&) const = default;
};
struct Failed {
  FailureKind failure;
  bool operator==(const Failed&) const = default;
};
struct Succeeded {
  bool operator==(const Succeeded&) const = default;
};
using AttemptStatus = std::variant<Progress, Failed, Succeeded>;

// What the progress dialog shows now; used by the dialog's callback only.
struct ShownProgress {
  enum class Bar { Marquee, Position };
  std::string text;
  Bar bar = Bar::Marquee;
  unsigned percent = 0;
};

// The one record that an attempt's worker and the main thread share. Each
// field has its own mutex and no code holds two of them at once.
class SharedProgress {
 public:
  // Replaces the status by Progress(update).
  void set_update(ProgressUpdate update);
  // Replaces the status by a final one (Failed or Succeeded).
  void store_final(AttemptStatus status);
  // Returns a copy of the status.
  AttemptStatus status() const;

  // Runs `f` on the shown progress under its lock.
  template <typename F>
  auto with_shown(F&& f) {
    std::lock_guard lock(shown_mutex_);
    return f(shown_);
  }

  // Sets done; only the dialog's callback does, when it sees a final status.
  void set_done();
  // Returns whether the dialog was closed because the attempt ended.
  bool done() const;

 private:
  mutable std::mutex status_mutex_;
  AttemptStatus status_ = Progress{Searching{}};
  std::mutex shown_mutex_;
  ShownProgress shown_;
  mutable std::mutex done_mutex_;
  bool done_ = false;
};

// Returns true for Failed and Succeeded.
bool is_final(const AttemptStatus& status);

// The callable through which the flow posts its updates.
using ProgressReporter = std::function<void(ProgressUpdate)>;

// Returns the reporter that posts into `progress`.
ProgressReporter interactive_reporter(std::shared_ptr<SharedProgress> progress);

// The reporter of report mode: discards every update.
void ignore_update(ProgressUpdate update);

// The callable through which the download reports (done, total).
using DownloadProgress = std::function<void(std::uint64_t, std::uint64_t)>;

// Returns a callable posting Downloading(done, total) through `reporter`,
// which must outlive it.
DownloadProgress download_progress(const ProgressReporter& reporter);

}  // namespace ostrevane
