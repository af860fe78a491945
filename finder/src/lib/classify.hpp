#pragma once

#include "finder/src/lib/failure.hpp"
#include "proxy/src/fetch/fetch_error.hpp"

namespace ostrevane {

// Returns the failure of a download error: not_answering for Unreachable,
// box_error for a Message holding ": HTTP ", download for everything else; the
// detail is the error's display text.
FailureKind classify_fetch_error(FetchError error);

}  // namespace ostrevane
