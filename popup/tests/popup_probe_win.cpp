// Test helper run under Wine beside harborpop: reports the popup window as the
// system sees it, on one line of key=value pairs, or "found=0" when there is
// none. The check box label is given in hex, since it may hold GBK bytes.
#include <windows.h>

#include <cstdio>

namespace {

const int kTipLaterId = 0x81AC;

void PrintLabel(HWND check_box) {
  char label[128] = {};
  int length = GetWindowTextA(check_box, label, sizeof label);
  std::printf(" label=");
  for (int i = 0; i < length; ++i)
    std::printf("%02x", static_cast<unsigned char>(label[i]));
  int checked = SendMessageA(check_box, BM_GETCHECK, 0, 0) == BST_CHECKED;
  std::printf(" checked=%d", checked);
}

}  // namespace

int main() {
  HWND popup = FindWindowA("Veriv_MiniNews", nullptr);
  if (popup == nullptr) {
    std::printf("found=0\n");
    return 0;
  }
  RECT r;
  GetWindowRect(popup, &r);
  LONG ex_style = GetWindowLongA(popup, GWL_EXSTYLE);
  char title[32] = {};
  GetWindowTextA(popup, title, sizeof title);
  std::printf(
      "found=1 left=%ld top=%ld right=%ld bottom=%ld topmost=%d toolwindow=%d visible=%d "
      "title=%s",
      r.left, r.top, r.right, r.bottom, (ex_style & WS_EX_TOPMOST) != 0,
      (ex_style & WS_EX_TOOLWINDOW) != 0, IsWindowVisible(popup) != 0, title);
  HWND check_box = GetDlgItem(popup, kTipLaterId);
  if (check_box != nullptr)
    PrintLabel(check_box);
  std::printf("\n");
  return 0;
}
