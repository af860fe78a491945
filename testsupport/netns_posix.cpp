#include "testsupport/netns.hpp"

#include <errno.h>
#include <net/if.h>
#include <net/route.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <exception>
#include <thread>

#include "platform/os_error.hpp"

namespace ostrevane::test {
namespace {

std::unexpected<std::string> failure(const std::string& step) {
  return std::unexpected(step + ": " + platform::os_error_text(errno));
}

void set_any_ipv4(sockaddr& address) {
  sockaddr_in any{};
  any.sin_family = AF_INET;
  any.sin_addr.s_addr = htonl(INADDR_ANY);
  std::memcpy(&address, &any, sizeof any);
}

// The same as `ip link set lo up && ip route add default dev lo`, without needing
// the ip tool.
std::expected<void, std::string> route_through_loopback(int control) {
  ifreq link{};
  std::strncpy(link.ifr_name, "lo", IFNAMSIZ - 1);
  if (ioctl(control, SIOCGIFFLAGS, &link) != 0) {
    return failure("cannot read the loopback interface's flags");
  }
  link.ifr_flags = static_cast<short>(link.ifr_flags | IFF_UP);
  if (ioctl(control, SIOCSIFFLAGS, &link) != 0) {
    return failure("cannot bring the loopback interface up");
  }
  char device[] = "lo";
  rtentry route{};
  set_any_ipv4(route.rt_dst);
  set_any_ipv4(route.rt_genmask);
  route.rt_flags = RTF_UP;
  route.rt_dev = device;
  if (ioctl(control, SIOCADDRT, &route) != 0) {
    return failure("cannot add the default route through loopback");
  }
  return {};
}

}  // namespace

std::expected<void, std::string> enter_private_network_namespace() {
  if (unshare(CLONE_NEWNET) != 0) {
    return failure("cannot make a private network namespace");
  }
  const int control = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (control < 0) {
    return failure("cannot open a socket in the private network namespace");
  }
  auto routed = route_through_loopback(control);
  close(control);
  return routed;
}

std::expected<void, std::string> run_in_private_network_namespace(
    const std::function<void()>& body) {
  std::expected<void, std::string> entered;
  std::exception_ptr thrown;
  std::thread runner([&] {
    entered = enter_private_network_namespace();
    if (!entered) {
      return;
    }
    try {
      body();
    } catch (...) {
      thrown = std::current_exception();
    }
  });
  runner.join();
  if (thrown) {
    std::rethrow_exception(thrown);
  }
  return entered;
}

}  // namespace ostrevane::test
