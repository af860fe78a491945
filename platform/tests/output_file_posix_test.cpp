#include "platform/output_file.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "testsupport/files.hpp"
#include "testsupport/scratch_dir.hpp"

namespace {

// The ranges whose device writes a file asked to start, as offset and length.
std::mutex ranges_mutex;
std::vector<std::pair<long long, long long>> started_ranges;

}  // namespace

// This definition stands in for the C library's in the test program, so that
// the ranges a file hands to the device (which nothing else shows) can be
// checked; it still starts the writes.
extern "C" int sync_file_range(int fd, off64_t offset, off64_t count, unsigned int flags) {
  {
    std::lock_guard lock(ranges_mutex);
    started_ranges.emplace_back(offset, count);
  }
  return static_cast<int>(::syscall(SYS_sync_file_range, fd, offset, count, flags));
}

namespace ostrevane::platform {
namespace {

using Ranges = std::vector<std::pair<long long, long long>>;

class OutputFilePosixTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::lock_guard lock(ranges_mutex);
    started_ranges.clear();
  }
  Ranges ranges() const {
    std::lock_guard lock(ranges_mutex);
    return started_ranges;
  }
  OutputFile create(const std::string& name) const {
    auto file = OutputFile::create(dir_.path() / name);
    EXPECT_TRUE(file.has_value());
    return std::move(*file);
  }
  void write(OutputFile& file, std::string_view text) const { EXPECT_FALSE(file.write_all(text)); }

  test::ScratchDir dir_;
};

TEST_F(OutputFilePosixTest, WritesStartTheDeviceWritesOfTheirOwnRange) {
  OutputFile file = create("a");
  write(file, "12345");
  write(file, "6789");
  ASSERT_FALSE(file.close());
  EXPECT_EQ(ranges(), (Ranges{{0, 5}, {5, 4}}));
  EXPECT_EQ(test::read_file(dir_.path() / "a"), "123456789");
}

// A moved file goes on where the original stopped: its next range starts
// after the bytes written before the move.
TEST_F(OutputFilePosixTest, AMovedFileKeepsItsOffset) {
  OutputFile first = create("a");
  write(first, "12345");
  OutputFile moved(std::move(first));
  write(moved, "678");

  OutputFile other = create("b");
  write(other, "xy");
  other = std::move(moved);
  write(other, "9");
  ASSERT_FALSE(other.close());

  EXPECT_EQ(ranges(), (Ranges{{0, 5}, {5, 3}, {0, 2}, {8, 1}}));
  EXPECT_EQ(test::read_file(dir_.path() / "a"), "123456789");
  EXPECT_EQ(test::read_file(dir_.path() / "b"), "xy");
}

}  // namespace
}  // namespace ostrevane::platform
