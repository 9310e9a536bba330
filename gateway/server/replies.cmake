# Replies: Key2 (Base64 of the port record), the redirect page and page files.
add_library(gateway_replies STATIC ${CMAKE_CURRENT_LIST_DIR}/replies.cpp)
hg_include_root(gateway_replies PUBLIC gateway/server)
target_link_libraries(gateway_replies PUBLIC platform PRIVATE gateway_log)

hg_add_gtest(replies_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/replies_test.cpp
  LIBS gateway_replies)
target_compile_definitions(replies_test PRIVATE
  HG_PAGES_DIR="${CMAKE_CURRENT_LIST_DIR}/../pages")
