#pragma once

#include <expected>
#include <functional>
#include <string>

namespace ostrevane::test {

// Moves the calling thread into a new network namespace of its own, with the loopback
// interface up and the default route through it, so that a broadcast to
// 255.255.255.255 reaches sockets bound on 0.0.0.0 there and nothing else. Threads
// and processes the caller starts afterwards share it; other threads keep theirs.
// Returns the reason when it cannot (typically: not root).
[[nodiscard]] std::expected<void, std::string> enter_private_network_namespace();

// Runs `body` on a new thread that has entered a private network namespace, waits for
// it and rethrows what it threw. Returns the reason, without running `body`, when the
// namespace cannot be made. Under Wine, where the sockets are the wineserver's, the
// whole test run is in such a namespace already: `body` runs only when the network
// has no interface but loopback.
[[nodiscard]] std::expected<void, std::string> run_in_private_network_namespace(
    const std::function<void()>& body);

}  // namespace ostrevane::test
