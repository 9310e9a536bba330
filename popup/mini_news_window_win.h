// MiniNewsWindow: the one popup object of the process. It builds, places and
// tears down the popup window, keeps the mouse state and the "Tip later" box, and
// draws the popup from the skin bitmap into a back buffer that painting only
// copies. One window thread at a time uses it; the popup gate ensures that.
#pragma once
#include <windows.h>

#include "popup/popup_items.h"

constexpr int IDC_TIPLATER = 0x81AC;
constexpr UINT WM_ITEMCLICK = WM_APP + 0x6A;
constexpr int IDB_SKIN = 132;
constexpr int IDI_PROGRAM = 1;
constexpr UINT_PTR kCloseTimerId = 1;
constexpr UINT kCloseTimerMs = 5000;
// Window property that leads the window procedure to the popup object.
constexpr char kObjectProperty[] = "VerivClassPtr";

LRESULT CALLBACK PopupWndProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam);

class MiniNewsWindow {
 public:
  MiniNewsWindow();
  ~MiniNewsWindow();
  MiniNewsWindow(const MiniNewsWindow&) = delete;
  MiniNewsWindow& operator=(const MiniNewsWindow&) = delete;

  // Builds and shows a popup in the calling thread: 1, or 0 when it cannot be
  // created. The window procedure posts the quit message when it is torn down.
  int ShowPopup();
  int TipLater() const { return tip_later_; }

  // Message handlers; PopupWndProc only dispatches to these.
  LRESULT TearDown(HWND window, UINT message, WPARAM wparam, LPARAM lparam);
  LRESULT OnPaint(HWND window, UINT message, WPARAM wparam, LPARAM lparam);
  LRESULT OnEraseBackground(HWND window, UINT message, WPARAM wparam, LPARAM lparam);
  LRESULT OnSetCursor();
  LRESULT OnCommand(HWND window, UINT message, WPARAM wparam, LPARAM lparam);
  LRESULT OnTimer(HWND window, UINT message, WPARAM wparam, LPARAM lparam);
  LRESULT OnCtlColorStatic(WPARAM wparam);
  LRESULT OnMouseMove(HWND window, UINT message, WPARAM wparam, LPARAM lparam);
  LRESULT OnLButtonDown(HWND window, UINT message, WPARAM wparam, LPARAM lparam);
  LRESULT OnLButtonUp(HWND window, UINT message, WPARAM wparam, LPARAM lparam);
  LRESULT OnMouseLeave(HWND window, UINT message, WPARAM wparam, LPARAM lparam);
  LRESULT OnItemClick(HWND window, WPARAM wparam);

 private:
  int CreatePopupWindow(const char* tip_label);
  int RegisterPopupClass(HINSTANCE module);
  void CreateTipLaterBox(const char* tip_label, HINSTANCE module);
  void SetOwnIcon(HINSTANCE module);
  int SetPopupText(const char* message);
  void PlaceAndShow();
  int32_t HitAt(LPARAM lparam) const;
  void ReleaseItems();
  void ReleaseBackBuffer();

  // Drawing (skin_render_win.cpp).
  void SetSkinBitmap(HBITMAP bitmap);
  int Redraw();
  int RenderBackBuffer();
  int CreateBackBuffer(int width, int height);
  void DrawNineSlice(const ItemRect& frame, const ItemRect& inner, const ItemRect& dest);
  void DrawTitle(int width);
  void DrawCloseButton();
  void DrawItemText(const PopupItem& item);

  HWND window_ = nullptr;
  HWND check_box_ = nullptr;
  int tip_later_ = 0;
  PopupItem* items_ = nullptr;
  int32_t item_count_ = 0;
  HCURSOR cursor_ = nullptr;
  HICON program_icon_ = nullptr;
  HDC skin_surface_ = nullptr;
  HDC back_buffer_ = nullptr;
  HBITMAP skin_bitmap_ = nullptr;
  HGDIOBJ skin_previous_ = nullptr;
  HBITMAP back_bitmap_ = nullptr;
  HGDIOBJ back_previous_ = nullptr;
  HFONT normal_font_ = nullptr;
  HFONT bold_font_ = nullptr;
  COLORREF title_colour_ = RGB(0, 0, 0);
  MouseState mouse_;
  int quit_flag_ = 0;
  int tracking_ = 0;
};
