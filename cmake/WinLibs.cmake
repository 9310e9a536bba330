# Static MinGW builds of glog, libcurl, usrsctp and libre made by
# scripts/build-win-libs: one install prefix per package and version in a
# cache outside the tree. Each prefix pinned in scripts/win-libs.versions joins
# the find root path, so find_package(glog), find_package(CURL),
# find_package(usrsctp) and find_package(re) give glog::glog, CURL::libcurl,
# usrsctp::usrsctp and re::re with their definitions and Windows system
# libraries. A prefix that was never built is left out, and find_package
# reports the library missing.
set(_hg_winlibs_cache "$ENV{HG_WINLIBS_CACHE}")
if(NOT _hg_winlibs_cache)
  set(_hg_winlibs_cache /var/cache/harborgate/winlibs)
endif()
file(STRINGS "${CMAKE_CURRENT_LIST_DIR}/../scripts/win-libs.versions" _hg_winlibs_pins
     REGEX "^[^# \t]")
foreach(_hg_pin IN LISTS _hg_winlibs_pins)
  string(REGEX MATCH "^([^ \t]+)[ \t]+([^ \t]+)" _hg_match "${_hg_pin}")
  set(_hg_prefix "${_hg_winlibs_cache}/${CMAKE_MATCH_1}-${CMAKE_MATCH_2}")
  if(EXISTS "${_hg_prefix}/.stamp")
    list(APPEND CMAKE_FIND_ROOT_PATH "${_hg_prefix}")
  endif()
endforeach()
