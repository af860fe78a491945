# Writes a C++ source that holds the two trust files byte for byte.
# Inputs: PEM, KEY (files), OUT (the source to write).
function(byte_array var file)
  file(READ "${file}" hex HEX)
  string(LENGTH "${hex}" n)
  math(EXPR count "${n} / 2")
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "'\\\\x\\1'," bytes "${hex}")
  set(${var} "${bytes}" PARENT_SCOPE)
  set(${var}_size "${count}" PARENT_SCOPE)
endfunction()
byte_array(pem "${PEM}")
byte_array(key "${KEY}")
file(WRITE "${OUT}.tmp" "// Generated at configure time from the trust files. Do not edit.
#include \"finder/src/lib/trust_constants.hpp\"

namespace ostrevane {
namespace {
constexpr char kPem[] = {${pem} '\\0'};
constexpr char kKey[] = {${key} '\\0'};
}  // namespace
const std::string_view BOX_CA_PEM{kPem, ${pem_size}};
const std::string_view MANIFEST_PUBLIC_KEY{kKey, ${key_size}};
}  // namespace ostrevane
")
file(COPY_FILE "${OUT}.tmp" "${OUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUT}.tmp")
