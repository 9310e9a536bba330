// The popup's life: created hidden with its class, region, items and check box,
// given its text (which renders the back buffer), placed in the bottom-right
// corner of the work area and shown with a 5-second timer; torn down by the
// timer, the close button or the system. Things that outlive one popup (skin,
// class, icon, fonts, cursor) are made once and kept.
#include "popup/mini_news_window_win.h"

#include <shellapi.h>

#include <cstdio>

#include "popup/notice_receive.h"
#include "popup/popup_geometry.h"
#include "popup/popup_texts.h"

namespace {

const char kClassName[] = "Veriv_MiniNews";
const char kWindowTitle[] = "P2P";

}  // namespace

MiniNewsWindow::MiniNewsWindow() {
  cursor_ = LoadCursorA(nullptr, reinterpret_cast<LPCSTR>(IDC_ARROW));
  normal_font_ = static_cast<HFONT>(GetStockObject(DEFAULT_GUI_FONT));
  LOGFONTA bold = {};
  GetObjectA(normal_font_, sizeof bold, &bold);
  bold.lfWeight = FW_BOLD;
  bold_font_ = CreateFontIndirectA(&bold);
}

MiniNewsWindow::~MiniNewsWindow() {
  DeleteObject(bold_font_);
  if (skin_surface_ != nullptr) {
    SelectObject(skin_surface_, skin_previous_);
    DeleteObject(skin_bitmap_);
    DeleteDC(skin_surface_);
  }
}

int MiniNewsWindow::ShowPopup() {
  PopupTexts texts = TextsForZone(ServiceZone.load());  // one reading for both texts
  char message[kPopupTextSize];
  char tip_label[kPopupTextSize];
  std::snprintf(message, sizeof message, "%s", texts.Message);
  std::snprintf(tip_label, sizeof tip_label, "%s", texts.TipLabel);
  tip_later_ = 0;

  HBITMAP skin = LoadBitmapA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(IDB_SKIN));
  if (skin != nullptr)
    SetSkinBitmap(skin);
  if (!CreatePopupWindow(tip_label))
    return 0;
  SetPopupText(message);
  PlaceAndShow();
  quit_flag_ = 1;
  return 1;
}

int MiniNewsWindow::CreatePopupWindow(const char* tip_label) {
  if (window_ != nullptr) {
    if (IsWindow(window_))
      return 0;  // a popup exists already
    window_ = nullptr;
  }
  if (program_icon_ == nullptr) {
    char path[MAX_PATH] = {};
    GetModuleFileNameA(nullptr, path, sizeof path);
    SHFILEINFOA info = {};
    SHGetFileInfoA(path, FILE_ATTRIBUTE_NORMAL, &info, sizeof info, SHGFI_ICON | SHGFI_SMALLICON);
    program_icon_ = info.hIcon;
  }
  HINSTANCE module = GetModuleHandleA(nullptr);
  if (!RegisterPopupClass(module))
    return 0;

  HWND window = CreateWindowExA(WS_EX_TOOLWINDOW | WS_EX_TOPMOST, kClassName, kWindowTitle,
                                WS_POPUP | WS_SYSMENU, 0, 0, kPopupWidth, kPopupHeight, nullptr,
                                nullptr, module, nullptr);
  if (window == nullptr)
    return 0;
  window_ = window;
  SetPropA(window, kObjectProperty, this);
  SetOwnIcon(module);

  items_ = MakePopupItems();
  item_count_ = kPopupItemCount;
  CreateTipLaterBox(tip_label, module);
  // The region covers the client area plus one pixel, so the corners are cut
  // and the last column and row stay visible.
  HRGN region = CreateRoundRectRgn(0, 0, kPopupWidth + 1, kPopupHeight + 1, 5, 5);
  SetWindowRgn(window, region, FALSE);
  return 1;
}

int MiniNewsWindow::RegisterPopupClass(HINSTANCE module) {
  WNDCLASSEXA known = {};
  known.cbSize = sizeof known;
  if (GetClassInfoExA(module, kClassName, &known))
    return 1;

  WNDCLASSEXA wc = {};
  wc.cbSize = sizeof wc;
  wc.style = CS_HREDRAW | CS_VREDRAW;
  wc.lpfnWndProc = &PopupWndProc;
  wc.hInstance = module;
  wc.hIconSm = program_icon_;
  wc.hCursor = cursor_;
  wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
  wc.lpszClassName = kClassName;
  return RegisterClassExA(&wc) != 0;
}

// The title band draws the window's small icon before the shell's icon of the
// file, which some shells answer with a generic one.
void MiniNewsWindow::SetOwnIcon(HINSTANCE module) {
  HANDLE icon = LoadImageA(module, MAKEINTRESOURCEA(IDI_PROGRAM), IMAGE_ICON, 16, 16, LR_SHARED);
  if (icon != nullptr)
    SendMessageA(window_, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(icon));
}

// Without the box the popup still works; "Tip later" then stays 0.
void MiniNewsWindow::CreateTipLaterBox(const char* tip_label, HINSTANCE module) {
  check_box_ =
      CreateWindowExA(WS_EX_TOOLWINDOW | WS_EX_TOPMOST, "Button", tip_label,
                      WS_CHILD | WS_VISIBLE | BS_AUTOCHECKBOX, 8, 119, 234, 20, window_,
                      reinterpret_cast<HMENU>(static_cast<INT_PTR>(IDC_TIPLATER)), module, nullptr);
  if (check_box_ != nullptr) {
    SendMessageA(check_box_, WM_SETFONT, reinterpret_cast<WPARAM>(normal_font_), TRUE);
  }
}

int MiniNewsWindow::SetPopupText(const char* message) {
  if (item_count_ == 0)
    return 0;
  items_[kHeadingItem].Text.clear();
  items_[kMessageItem].Text = message;
  return Redraw();
}

void MiniNewsWindow::PlaceAndShow() {
  RECT client = {};
  GetClientRect(window_, &client);
  RECT work = {};
  SystemParametersInfoA(SPI_GETWORKAREA, 0, &work, 0);
  PopupPoint corner = PopupCorner({work.left, work.top, work.right, work.bottom},
                                  client.right - client.left, client.bottom - client.top);
  SetWindowPos(window_, nullptr, corner.x, corner.y, 0, 0,
               SWP_NOSIZE | SWP_NOZORDER | SWP_NOREDRAW);
  ShowWindow(window_, SW_SHOW);
  UpdateWindow(window_);
  SetTimer(window_, kCloseTimerId, kCloseTimerMs, nullptr);
}

int32_t MiniNewsWindow::HitAt(LPARAM lparam) const {
  int32_t x = static_cast<int16_t>(LOWORD(lparam));
  int32_t y = static_cast<int16_t>(HIWORD(lparam));
  return HitTest(items_, item_count_, x, y);
}

void MiniNewsWindow::ReleaseItems() {
  delete[] items_;
  items_ = nullptr;
  item_count_ = 0;
  mouse_ = MouseState();
}

void MiniNewsWindow::ReleaseBackBuffer() {
  if (back_buffer_ == nullptr)
    return;
  SelectObject(back_buffer_, back_previous_);
  DeleteObject(back_bitmap_);
  DeleteDC(back_buffer_);
  back_buffer_ = nullptr;
  back_bitmap_ = nullptr;
  back_previous_ = nullptr;
}

// Runs for the timer and again for the WM_DESTROY that its DestroyWindow
// causes; the second pass finds everything released already. A window in
// WM_DESTROY is never destroyed a second time.
LRESULT MiniNewsWindow::TearDown(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  LRESULT result = DefWindowProcA(window, message, wparam, lparam);
  ReleaseItems();
  ReleaseBackBuffer();
  tracking_ = 0;
  if (quit_flag_)
    PostQuitMessage(0);

  HWND popup = window_;
  window_ = nullptr;
  check_box_ = nullptr;
  if (message == WM_DESTROY) {
    RemovePropA(window, kObjectProperty);
  } else if (popup != nullptr && IsWindow(popup)) {
    DestroyWindow(popup);
  }
  return result;
}
