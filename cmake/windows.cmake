# The Windows build (mingw-w64): the header-only libraries come from the host's
# include folder, one folder each, so that no other host header is seen; OpenSSL
# is used when one built for the target is given (OPENSSL_ROOT_DIR).

set(host_headers "${CMAKE_BINARY_DIR}/host-headers")
file(MAKE_DIRECTORY "${host_headers}")
foreach(library boost nlohmann)
  if(NOT EXISTS "/usr/include/${library}")
    message(FATAL_ERROR "/usr/include/${library} is missing: run scripts/install-deps.sh")
  endif()
  file(CREATE_LINK "/usr/include/${library}" "${host_headers}/${library}" SYMBOLIC)
endforeach()

add_library(Boost::headers INTERFACE IMPORTED)
set_target_properties(Boost::headers PROPERTIES INTERFACE_INCLUDE_DIRECTORIES "${host_headers}")
target_link_libraries(Boost::headers INTERFACE ws2_32 mswsock)
add_library(nlohmann_json::nlohmann_json INTERFACE IMPORTED)
set_target_properties(nlohmann_json::nlohmann_json PROPERTIES INTERFACE_INCLUDE_DIRECTORIES
                                                              "${host_headers}")

# Windows 10 and later; the W functions only.
add_compile_definitions(_WIN32_WINNT=0x0A00 WINVER=0x0A00 UNICODE _UNICODE WIN32_LEAN_AND_MEAN
                        NOMINMAX)
# One self-contained executable: the C++ runtime, libgcc and winpthreads linked in.
add_link_options(-static)

if(OPENSSL_ROOT_DIR)
  list(APPEND CMAKE_FIND_ROOT_PATH "${OPENSSL_ROOT_DIR}")
  set(OPENSSL_USE_STATIC_LIBS ON)
  find_package(OpenSSL 3 REQUIRED)
  # A static OpenSSL needs the system libraries it calls.
  set_property(TARGET OpenSSL::Crypto APPEND PROPERTY INTERFACE_LINK_LIBRARIES ws2_32 crypt32
                                                                                 bcrypt)
  set(OSTREVANE_TLS ON)
else()
  set(OSTREVANE_TLS OFF)
  message(STATUS "No OpenSSL for Windows given (OPENSSL_ROOT_DIR): what needs it is compiled "
                 "against the host's OpenSSL headers as a check only, and not linked")
endif()

# Compiles every source that needs OpenSSL, against the host's OpenSSL headers
# with the target's word sizes, so that the whole program is checked for
# Windows even where it cannot be linked. Nothing links these objects.
function(ostrevane_tls_compile_check)
  get_property(sources GLOBAL PROPERTY OSTREVANE_TLS_CHECK_SOURCES)
  # The program's own sources; tests that need OpenSSL run on Linux.
  list(FILTER sources EXCLUDE REGEX "/(tests|testsupport)/")
  list(APPEND sources "${PROJECT_SOURCE_DIR}/finder/src/main/main.cpp")
  set(openssl_headers "${CMAKE_BINARY_DIR}/host-openssl-headers/openssl")
  file(MAKE_DIRECTORY "${openssl_headers}")
  file(GLOB headers "/usr/include/openssl/*.h")
  foreach(header IN LISTS headers)
    get_filename_component(name "${header}" NAME)
    file(CREATE_LINK "${header}" "${openssl_headers}/${name}" SYMBOLIC)
  endforeach()
  file(CREATE_LINK "/usr/include/x86_64-linux-gnu/openssl/opensslconf.h"
       "${openssl_headers}/opensslconf.h" SYMBOLIC)
  # Windows is LLP64: OpenSSL's words are long long there, not long.
  file(READ "/usr/include/x86_64-linux-gnu/openssl/configuration.h" configuration)
  string(REPLACE "define SIXTY_FOUR_BIT_LONG" "undef SIXTY_FOUR_BIT_LONG" configuration
                 "${configuration}")
  string(REPLACE "undef SIXTY_FOUR_BIT\n" "define SIXTY_FOUR_BIT\n" configuration
                 "${configuration}")
  file(WRITE "${openssl_headers}/configuration.h" "${configuration}")

  add_library(ostrevane_tls_compile_check OBJECT ${sources})
  target_include_directories(ostrevane_tls_compile_check SYSTEM
                             PRIVATE "${CMAKE_BINARY_DIR}/host-openssl-headers")
  target_include_directories(ostrevane_tls_compile_check PRIVATE "${PROJECT_SOURCE_DIR}")
  target_link_libraries(ostrevane_tls_compile_check PRIVATE Boost::headers
                                                            nlohmann_json::nlohmann_json)
endfunction()
