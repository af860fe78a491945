#include "proxy/src/discover/box_names.hpp"

#include <array>

namespace ostrevane {
namespace {

constexpr std::array<std::string_view, 3> kEditions = {"lunel", "corvene", "brastel"};
constexpr std::size_t kMaxSlugLength = 63;

bool is_slug_byte(char c) {
  return c == '-' || (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z');
}

std::string host(std::string_view label, std::string_view slug, std::string_view edition) {
  std::string name;
  name.reserve(label.size() + slug.size() + edition.size() + BOX_DOMAIN.size() + 3);
  name.append(label).append(".").append(slug).append(".").append(edition).append(".");
  name.append(BOX_DOMAIN);
  return name;
}

}  // namespace

bool is_clinic_slug(std::string_view text) {
  if (text.empty() || text.size() > kMaxSlugLength) {
    return false;
  }
  for (char c : text) {
    if (!is_slug_byte(c)) {
      return false;
    }
  }
  return text.front() != '-' && text.back() != '-';
}

bool is_known_edition(std::string_view text) {
  for (std::string_view edition : kEditions) {
    if (text == edition) {
      return true;
    }
  }
  return false;
}

std::string_view edition_display_name(std::string_view slug) {
  if (slug == "brastel") {
    return "Brastel";
  }
  if (slug == "lunel") {
    return "Lunel";
  }
  return "Corvene";
}

std::expected<BoxHosts, std::string> box_host_names(std::string_view slug,
                                                    std::string_view product) {
  if (!is_clinic_slug(slug)) {
    return std::unexpected("\"" + std::string(slug) + "\" is not a clinic slug");
  }
  if (!is_known_edition(product)) {
    return std::unexpected("\"" + std::string(product) + "\" is not a product");
  }
  return BoxHosts{host("app", slug, product), host("api", slug, product),
                  host("supabase", slug, product), host("console", slug, product)};
}

}  // namespace ostrevane
