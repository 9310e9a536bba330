# The direct path's libraries: hg_re (libre: ICE, STUN and TURN) and
# hg_usrsctp (usrsctp: SCTP streams over its AF_CONN lower layer). Natively
# they are Debian's packages, found through pkg-config; the Windows build links
# the static builds of scripts/build-win-libs that cmake/WinLibs.cmake puts on
# its search path, with the Windows libraries they call.
#
# libre's headers change its structures and types with the definitions it was
# compiled with (HAVE_INET6 decides what struct sa holds, HAVE_STDBOOL_H what
# bool is, USE_OPENSSL and USE_ZLIB whose SHA-1 and CRC-32 they declare,
# RELEASE the checks of its buffer macros), and its package names none of
# them, so each target carries the set its library was built with. Debian
# built libre 1.1.0 with its own make files for Linux, with OpenSSL and zlib,
# in release mode: the library calls OpenSSL's SHA1_Init and zlib's crc32, and
# holds none of the debugging texts that release mode leaves out. The Windows
# set is the one build-win-libs read from the make run of its build.
add_library(hg_re INTERFACE)
add_library(hg_usrsctp INTERFACE)
if(WIN32)
  find_package(re REQUIRED)
  find_package(usrsctp REQUIRED)
  target_link_libraries(hg_re INTERFACE re::re)
  target_link_libraries(hg_usrsctp INTERFACE usrsctp::usrsctp)
else()
  find_package(PkgConfig REQUIRED)
  find_package(OpenSSL REQUIRED)
  find_package(ZLIB REQUIRED)
  pkg_check_modules(HG_RE REQUIRED IMPORTED_TARGET GLOBAL libre)
  pkg_check_modules(HG_USRSCTP REQUIRED IMPORTED_TARGET GLOBAL usrsctp)
  target_compile_definitions(hg_re INTERFACE RELEASE HAVE_INTTYPES_H HAVE_STDBOOL_H HAVE_INET6
                                             USE_OPENSSL USE_ZLIB)
  # With those definitions the headers declare OpenSSL's SHA-1 and zlib's crc32.
  target_link_libraries(hg_re INTERFACE PkgConfig::HG_RE OpenSSL::Crypto ZLIB::ZLIB)
  target_link_libraries(hg_usrsctp INTERFACE PkgConfig::HG_USRSCTP)
endif()
