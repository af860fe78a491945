#pragma once

#include <string_view>

namespace ostrevane {

// Returns the canonical reason phrase of the HTTP status code `status`, or
// "<unknown status code>" when HTTP registers none for it.
std::string_view status_reason(unsigned status);

}  // namespace ostrevane
