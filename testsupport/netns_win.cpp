#include "testsupport/netns.hpp"

#include <iphlpapi.h>
#include <windows.h>
#include <winsock2.h>

#include <memory>
#include <string>
#include <system_error>
#include <vector>

#include "platform/os_error.hpp"
#include "platform/wide_text_win.hpp"

namespace ostrevane::test {
namespace {

// Returns the names of the interfaces other than loopback, or the reason
// they cannot be listed.
std::expected<std::vector<std::string>, std::string> other_interfaces() {
  constexpr ULONG kFlags =
      GAA_FLAG_SKIP_ANYCAST | GAA_FLAG_SKIP_MULTICAST | GAA_FLAG_SKIP_DNS_SERVER;
  ULONG size = 16 * 1024;
  std::vector<std::byte> buffer;
  ULONG result = ERROR_BUFFER_OVERFLOW;
  for (int tries = 0; tries < 4 && result == ERROR_BUFFER_OVERFLOW; ++tries) {
    buffer.resize(size);
    result = GetAdaptersAddresses(AF_UNSPEC, kFlags, nullptr,
                                  reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buffer.data()), &size);
  }
  std::vector<std::string> names;
  if (result == ERROR_NO_DATA) {
    return names;
  }
  if (result != ERROR_SUCCESS) {
    return std::unexpected("cannot list the network interfaces: " +
                           platform::os_error_text(static_cast<int>(result)));
  }
  for (auto* adapter = reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buffer.data()); adapter != nullptr;
       adapter = adapter->Next) {
    if (adapter->IfType != IF_TYPE_SOFTWARE_LOOPBACK) {
      names.push_back(
          platform::from_wide_lossy(adapter->FriendlyName ? adapter->FriendlyName : L"?"));
    }
  }
  return names;
}

struct MutexReleaser {
  void operator()(HANDLE mutex) const {
    ReleaseMutex(mutex);
    CloseHandle(mutex);
  }
};

// Waits for the mutex that every test process of this Wine session shares, and
// returns it held; throws std::system_error when it cannot be had.
std::unique_ptr<void, MutexReleaser> take_network_turn() {
  const HANDLE mutex = CreateMutexW(nullptr, FALSE, L"Local\\ostrevane-test-private-network");
  if (mutex == nullptr) {
    throw std::system_error(static_cast<int>(GetLastError()), std::system_category(),
                            "CreateMutexW");
  }
  // An abandoned mutex was left by a test that ended while holding it: the turn
  // is ours all the same.
  const DWORD waited = WaitForSingleObject(mutex, INFINITE);
  if (waited != WAIT_OBJECT_0 && waited != WAIT_ABANDONED) {
    const DWORD error = GetLastError();
    CloseHandle(mutex);
    throw std::system_error(static_cast<int>(error), std::system_category(), "WaitForSingleObject");
  }
  return std::unique_ptr<void, MutexReleaser>(mutex);
}

}  // namespace

// The namespace is the wineserver's, made by the script that runs the tests:
// what can be checked here is that it is one, with loopback alone. Every test
// process of the run shares it, so their bodies take turns: a broadcast of one
// would otherwise reach the boxes of another.
std::expected<void, std::string> run_in_private_network_namespace(
    const std::function<void()>& body) {
  auto others = other_interfaces();
  if (!others) {
    return std::unexpected(others.error());
  }
  if (!others->empty()) {
    std::string names;
    for (const std::string& name : *others) {
      names += (names.empty() ? "" : ", ") + name;
    }
    return std::unexpected(
        "the network has interfaces besides loopback (" + names +
        "): run the tests with scripts/test-windows.sh, which gives Wine a private network");
  }
  const auto turn = take_network_turn();
  body();
  return {};
}

}  // namespace ostrevane::test
