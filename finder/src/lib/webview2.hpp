#pragma once

#include <string_view>

#include "platform/registry.hpp"

namespace ostrevane {

// The key below a software root where the WebView2 runtime's updater records
// the installed version.
inline constexpr std::string_view WEBVIEW2_CLIENT_KEY =
    "Microsoft\\EdgeUpdate\\Clients\\{F3017226-FE2A-4295-8BDF-00C3A9A7E4C5}";

// Returns true when the system's registry records an installed WebView2
// runtime; absence and every registry error count as not installed.
bool check_webview2();

// Returns true when `registry` records an installed WebView2 runtime: a value
// "pv" other than "" and "0.0.0.0" under the machine's 32-bit software key, the
// machine's software key or the user's, read in that order.
bool check_webview2(platform::Registry& registry);

}  // namespace ostrevane
