# Header libraries shared by the tunnel library, the device cloud and the tests:
# hg_httplib (cpp-httplib), hg_asio (Asio) and nlohmann_json::nlohmann_json.
# Natively they come from the system. The cross compiler must not see
# /usr/include (its C library headers are Linux ones), so the Windows build
# reaches Debian's header-only Asio and nlohmann-json through a folder in the
# build tree holding links to them and nothing else, and cpp-httplib (whose
# Debian package keeps its code in a Linux library) from the header that
# scripts/build-win-libs installs.
find_package(Threads REQUIRED)
add_library(hg_httplib INTERFACE)
add_library(hg_asio INTERFACE)
if(WIN32)
  set(_hg_headers ${CMAKE_BINARY_DIR}/include_roots/debian_headers)
  foreach(_hg_name asio asio.hpp nlohmann)
    if(NOT EXISTS /usr/include/${_hg_name})
      message(FATAL_ERROR "/usr/include/${_hg_name} is missing (scripts/install-deps)")
    endif()
    if(NOT IS_SYMLINK ${_hg_headers}/${_hg_name})
      file(MAKE_DIRECTORY ${_hg_headers})
      file(CREATE_LINK /usr/include/${_hg_name} ${_hg_headers}/${_hg_name} SYMBOLIC)
    endif()
  endforeach()
  add_library(nlohmann_json::nlohmann_json INTERFACE IMPORTED GLOBAL)
  set_target_properties(nlohmann_json::nlohmann_json PROPERTIES
    INTERFACE_SYSTEM_INCLUDE_DIRECTORIES ${_hg_headers}
    INTERFACE_INCLUDE_DIRECTORIES ${_hg_headers})
  target_include_directories(hg_asio SYSTEM INTERFACE ${_hg_headers})
  # Asio's completion-port backend runs timers on a helper thread that an
  # io_context joins as it ends; under Wine that join never returns when the
  # io_context ends on any thread but the main one (every HTTP call of a client
  # and every client the gateway deletes). The select backend has no such thread.
  target_compile_definitions(hg_asio INTERFACE _WIN32_WINNT=0x0A00 ASIO_DISABLE_IOCP)
  target_link_libraries(hg_asio INTERFACE ws2_32 mswsock Threads::Threads)
  find_package(httplib REQUIRED)
  target_link_libraries(hg_httplib INTERFACE httplib::httplib)
else()
  find_package(nlohmann_json REQUIRED GLOBAL)
  find_package(PkgConfig REQUIRED)
  pkg_check_modules(HG_HTTPLIB REQUIRED IMPORTED_TARGET GLOBAL cpp-httplib)
  target_link_libraries(hg_httplib INTERFACE PkgConfig::HG_HTTPLIB)
  target_link_libraries(hg_asio INTERFACE Threads::Threads)
endif()
