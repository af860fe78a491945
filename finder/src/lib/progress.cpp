#include "finder/src/lib/progress.hpp"

namespace ostrevane {

void SharedProgress::set_update(ProgressUpdate update) {
  std::lock_guard lock(status_mutex_);
  status_ = Progress{std::move(update)};
}

void SharedProgress::store_final(AttemptStatus status) {
  std::lock_guard lock(status_mutex_);
  status_ = std::move(status);
}

AttemptStatus SharedProgress::status() const {
  std::lock_guard lock(status_mutex_);
  return status_;
}

void SharedProgress::set_done() {
  std::lock_guard lock(done_mutex_);
  done_ = true;
}

bool SharedProgress::done() const {
  std::lock_guard lock(done_mutex_);
  return done_;
}

bool is_final(const AttemptStatus& status) {
  return !std::holds_alternative<Progress>(status);
}

ProgressReporter interactive_reporter(std::shared_ptr<SharedProgress> progress) {
  return [progress = std::move(progress)](ProgressUpdate update) {
    progress->set_update(std::move(update));
  };
}

void ignore_update(ProgressUpdate) {}

DownloadProgress download_progress(const ProgressReporter& reporter) {
  return [&reporter](std::uint64_t done, std::uint64_t total) {
    reporter(Downloading{done, total});
  };
}

}  // namespace ostrevane
