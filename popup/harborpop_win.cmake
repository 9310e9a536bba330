# The Windows program and its Wine tests; included from popup/CMakeLists.txt in
# the Windows build only.
enable_language(RC)

add_executable(harborpop
  harborpop_main_win.cpp
  mini_news_window_win.cpp
  popup_wndproc_win.cpp
  skin_render_win.cpp
  resources/harborpop.rc)
target_link_libraries(harborpop PRIVATE popup_core ws2_32 msimg32 gdi32 user32 shell32)
# windres finds skin.bmp, app.ico and app.manifest beside the .rc file.
set_property(SOURCE resources/harborpop.rc APPEND PROPERTY OBJECT_DEPENDS
  ${CMAKE_CURRENT_SOURCE_DIR}/resources/skin.bmp
  ${CMAKE_CURRENT_SOURCE_DIR}/resources/app.ico
  ${CMAKE_CURRENT_SOURCE_DIR}/resources/app.manifest)
target_include_directories(harborpop PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/resources)

# Reports the popup window as the system sees it (position, styles, check box).
add_executable(popup_probe tests/popup_probe_win.cpp)
target_link_libraries(popup_probe PRIVATE user32)

# Whole-program tests under Wine: run inside scripts/with-wine (Xvfb, prefix,
# Chinese locale). They use the fixed notice port, hence the e2e lock.
foreach(case show mouse tip-later no-listener)
  add_test(NAME popup_wine_${case}
    COMMAND python3 ${CMAKE_CURRENT_SOURCE_DIR}/tests/popup_wine_test.py
      --exe $<TARGET_FILE:harborpop> --probe $<TARGET_FILE:popup_probe>
      --shots ${CMAKE_BINARY_DIR}/e2e ${case})
  set_tests_properties(popup_wine_${case} PROPERTIES RESOURCE_LOCK e2e TIMEOUT 120 LABELS wine)
endforeach()

# A network event from the device cloud through harborgate.exe to the popup, both
# programs under Wine. The device cloud comes from the native build (make build).
set(HG_NATIVE_BIN ${CMAKE_SOURCE_DIR}/build/bin CACHE PATH "Native gateway and device cloud")
add_test(NAME popup_wine_gateway_notice
  COMMAND python3 ${CMAKE_SOURCE_DIR}/tests/e2e/e2e_notice_popup.py
    --native-bin ${HG_NATIVE_BIN} --gateway $<TARGET_FILE:harborgate> --exe $<TARGET_FILE:harborpop>
    --probe $<TARGET_FILE:popup_probe> --shots ${CMAKE_BINARY_DIR}/e2e)
set_tests_properties(popup_wine_gateway_notice PROPERTIES RESOURCE_LOCK e2e TIMEOUT 180 LABELS wine)
