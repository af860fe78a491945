#include "platform/os_error.hpp"

#include <errno.h>
#include <gtest/gtest.h>

#include <boost/asio/error.hpp>
#include <future>

namespace ostrevane::platform {
namespace {

TEST(OsErrorTest, SystemMessageThenCode) {
  EXPECT_EQ(os_error_text(ENOENT), "No such file or directory (os error 2)");
  EXPECT_EQ(os_error_text(EACCES), "Permission denied (os error 13)");
}

TEST(OsErrorTest, UnknownCodeStillCarriesItsNumber) {
  EXPECT_EQ(os_error_text(98765), "Unknown error 98765 (os error 98765)");
}

TEST(OsErrorTest, ErrorCodesOfTheSystemCarryTheirNumber) {
  EXPECT_EQ(error_code_text(std::error_code(ENOENT, std::system_category())),
            "No such file or directory (os error 2)");
  EXPECT_EQ(error_code_text(std::make_error_code(std::errc::permission_denied)),
            "Permission denied (os error 13)");
  // Asio's socket errors reach us converted from Boost's categories.
  const boost::system::error_code refused = boost::asio::error::connection_refused;
  EXPECT_EQ(error_code_text(refused), "Connection refused (os error 111)");
}

TEST(OsErrorTest, OtherCategoriesGiveTheirMessageAlone) {
  const std::error_code error = std::make_error_code(std::future_errc::broken_promise);
  EXPECT_EQ(error_code_text(error), error.message());
  EXPECT_EQ(error_code_text(error).find("os error"), std::string::npos);
}

}  // namespace
}  // namespace ostrevane::platform
