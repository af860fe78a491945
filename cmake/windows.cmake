# The Windows build (mingw-w64): the header-only libraries come from the host's
# include folder, one folder each, so that no other host header is seen; OpenSSL
# is one built for the target (OPENSSL_ROOT_DIR).

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
# Asio's and Beast's templates give an object more sections than the plain
# COFF format holds. Unoptimised, the box client's object also passes the
# 10 MB that COFF's table of section names can address ("file too big"): a
# Debug build is optimised for debugging, which inlines enough to stay under.
add_compile_options(-Wa,-mbig-obj)
string(APPEND CMAKE_CXX_FLAGS_DEBUG " -Og")
# One self-contained executable: the C++ runtime, libgcc and winpthreads linked in.
# A release build is stripped: its symbols would more than double its size.
add_link_options(-static $<$<CONFIG:Release,MinSizeRel>:-s>)

# OpenSSL 3 built for the target, static (scripts/mingw-openssl.sh makes one
# from Debian's source package).
if(NOT OPENSSL_ROOT_DIR OR NOT EXISTS "${OPENSSL_ROOT_DIR}/include/openssl/ssl.h")
  message(FATAL_ERROR
    "The Windows build needs OpenSSL 3 built for mingw-w64, named with -DOPENSSL_ROOT_DIR=DIR "
    "(now: \"${OPENSSL_ROOT_DIR}\"). scripts/mingw-openssl.sh makes one from Debian's source "
    "package; scripts/test-windows.sh and scripts/release.sh make and name it themselves.")
endif()
list(APPEND CMAKE_FIND_ROOT_PATH "${OPENSSL_ROOT_DIR}")
set(OPENSSL_USE_STATIC_LIBS ON)
find_package(OpenSSL 3 REQUIRED)
# A static OpenSSL needs the system libraries it calls.
set_property(TARGET OpenSSL::Crypto APPEND PROPERTY INTERFACE_LINK_LIBRARIES ws2_32 crypt32
                                                                                 bcrypt)
