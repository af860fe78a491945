#pragma once

#include <expected>
#include <string>
#include <string_view>

namespace ostrevane {

// The domain under which every box's host names lie, whatever the clinic.
inline constexpr std::string_view BOX_DOMAIN = "boxes.ostrevane.internal";

// The four host names of one box, each "label.slug.edition.BOX_DOMAIN".
struct BoxHosts {
  std::string app;
  std::string api;
  std::string supabase;
  std::string console;
};

// Returns true when `text` is a clinic slug: 1 to 63 bytes of a-z, 0-9 and '-',
// neither starting nor ending with '-'.
bool is_clinic_slug(std::string_view text);

// Returns true when `text` is exactly one of the edition slugs "lunel",
// "corvene" or "brastel".
bool is_known_edition(std::string_view text);

// Returns the display name of an edition slug: "Brastel" for "brastel",
// "Lunel" for "lunel", "Corvene" for every other slug.
std::string_view edition_display_name(std::string_view slug);

// Returns the four host names of the box with this clinic slug and edition, or
// `"{slug}" is not a clinic slug` / `"{product}" is not a product` (the slug is
// tested first).
[[nodiscard]] std::expected<BoxHosts, std::string> box_host_names(std::string_view slug,
                                                                  std::string_view product);

}  // namespace ostrevane
