#pragma once

#include <gtest/gtest.h>

#include <boost/asio/io_context.hpp>
#include <memory>
#include <optional>
#include <string>

#include "proxy/src/discover/box_names.hpp"
#include "proxy/src/upstream/tls_config.hpp"
#include "proxy/src/upstream/upstream.hpp"
#include "testsupport/run_awaitable.hpp"
#include "testsupport/test_box.hpp"
#include "testsupport/test_pki.hpp"

namespace ostrevane {

// The four host names of the box the tests talk to.
inline BoxHosts test_hosts() {
  return *box_host_names("cabinet-durand", "lunel");
}

inline std::vector<std::string> all_names(const BoxHosts& hosts) {
  return {hosts.app, hosts.api, hosts.supabase, hosts.console};
}

// A test box on loopback with a leaf for all four names signed by `ca`, and the
// client side's state trusting `ca`.
class BoxFixture : public testing::Test {
 protected:
  // Starts a box presenting `leaf` and points the state at it, trusting `ca_`.
  void start(const test::TestCertificate& leaf, test::TestBoxOptions options = {}) {
    box_.emplace(leaf, options);
    state_ = make_state(box_->port());
  }
  void start() { start(ca_.issue_leaf(all_names(hosts_))); }

  std::shared_ptr<const UpstreamState> make_state(std::uint16_t port) {
    auto tls = build_tls_config(ca_.root().der());
    EXPECT_TRUE(tls.has_value()) << tls.error();
    return make_upstream_state("127.0.0.1", port, hosts_, *tls);
  }

  template <typename T>
  T run(boost::asio::awaitable<T> operation) {
    return test::run_awaitable(io_, std::move(operation));
  }

  boost::asio::io_context io_;
  test::TestCa ca_;
  BoxHosts hosts_ = test_hosts();
  std::optional<test::TestBox> box_;
  std::shared_ptr<const UpstreamState> state_;
};

}  // namespace ostrevane
