// The popup's window procedure and its message handlers. The procedure only
// finds the popup object and dispatches; the handlers feed the portable mouse
// state machine and act on its answers.
#include "popup/mini_news_window_win.h"

namespace {

const COLORREF kCheckBoxTextColour = RGB(12, 78, 124);

}  // namespace

LRESULT CALLBACK PopupWndProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  auto* popup = static_cast<MiniNewsWindow*>(GetPropA(window, kObjectProperty));
  if (popup == nullptr)
    return DefWindowProcA(window, message, wparam, lparam);
  switch (message) {
    case WM_DESTROY:
      return popup->TearDown(window, message, wparam, lparam);
    case WM_PAINT:
      return popup->OnPaint(window, message, wparam, lparam);
    case WM_ERASEBKGND:
      return popup->OnEraseBackground(window, message, wparam, lparam);
    case WM_SETCURSOR:
      return popup->OnSetCursor();
    case WM_COMMAND:
      return popup->OnCommand(window, message, wparam, lparam);
    case WM_TIMER:
      return popup->OnTimer(window, message, wparam, lparam);
    case WM_CTLCOLORSTATIC:
      return popup->OnCtlColorStatic(wparam);
    case WM_MOUSEMOVE:
      return popup->OnMouseMove(window, message, wparam, lparam);
    case WM_LBUTTONDOWN:
      return popup->OnLButtonDown(window, message, wparam, lparam);
    case WM_LBUTTONUP:
      return popup->OnLButtonUp(window, message, wparam, lparam);
    case WM_MOUSELEAVE:
      return popup->OnMouseLeave(window, message, wparam, lparam);
    case WM_ITEMCLICK:
      return popup->OnItemClick(window, wparam);
    default:
      return DefWindowProcA(window, message, wparam, lparam);
  }
}

LRESULT MiniNewsWindow::OnPaint(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  if (back_buffer_ == nullptr && !RenderBackBuffer()) {
    return DefWindowProcA(window, message, wparam, lparam);
  }
  PAINTSTRUCT paint;
  HDC dc = BeginPaint(window, &paint);
  const RECT& r = paint.rcPaint;
  BitBlt(dc, r.left, r.top, r.right - r.left, r.bottom - r.top, back_buffer_, r.left, r.top,
         SRCCOPY);
  EndPaint(window, &paint);
  return 0;
}

LRESULT MiniNewsWindow::OnEraseBackground(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  if (back_buffer_ == nullptr && !RenderBackBuffer()) {
    return DefWindowProcA(window, message, wparam, lparam);
  }
  RECT client;
  GetClientRect(window, &client);
  BitBlt(reinterpret_cast<HDC>(wparam), 0, 0, client.right, client.bottom, back_buffer_, 0, 0,
         SRCCOPY);
  return 1;
}

LRESULT MiniNewsWindow::OnSetCursor() {
  SetCursor(cursor_);
  return TRUE;
}

LRESULT MiniNewsWindow::OnCommand(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  if (LOWORD(wparam) == IDC_TIPLATER)
    tip_later_ = FlipTipLater(tip_later_);
  return DefWindowProcA(window, message, wparam, lparam);
}

// The posted WM_CLOSE arrives after TearDown has destroyed the window and is
// dropped with it.
LRESULT MiniNewsWindow::OnTimer(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  PostMessageA(window, WM_CLOSE, 0, 0);
  return TearDown(window, message, wparam, lparam);
}

LRESULT MiniNewsWindow::OnCtlColorStatic(WPARAM wparam) {
  SetTextColor(reinterpret_cast<HDC>(wparam), kCheckBoxTextColour);
  return reinterpret_cast<LRESULT>(GetStockObject(WHITE_BRUSH));
}

LRESULT MiniNewsWindow::OnMouseMove(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  LRESULT result = DefWindowProcA(window, message, wparam, lparam);
  if (!tracking_) {
    TRACKMOUSEEVENT track = {};
    track.cbSize = sizeof track;
    track.dwFlags = TME_HOVER | TME_LEAVE;
    track.hwndTrack = window;
    track.dwHoverTime = 1;
    tracking_ = TrackMouseEvent(&track);
  }
  if (MouseMovedTo(&mouse_, HitAt(lparam)))
    Redraw();
  return result;
}

// A press on the background hands the popup to the system's move loop.
LRESULT MiniNewsWindow::OnLButtonDown(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  LRESULT result = DefWindowProcA(window, message, wparam, lparam);
  if (MousePressedAt(&mouse_, HitAt(lparam))) {
    ReleaseCapture();
    SendMessageA(window, WM_NCLBUTTONDOWN, HTCAPTION, 0);
  }
  return result;
}

LRESULT MiniNewsWindow::OnLButtonUp(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  LRESULT result = DefWindowProcA(window, message, wparam, lparam);
  int32_t clicked = MouseReleasedAt(&mouse_, HitAt(lparam));
  if (clicked != -1)
    PostMessageA(window, WM_ITEMCLICK, static_cast<WPARAM>(clicked), lparam);
  return result;
}

LRESULT MiniNewsWindow::OnMouseLeave(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  if (MouseLeft(&mouse_))
    Redraw();
  tracking_ = 0;
  return DefWindowProcA(window, message, wparam, lparam);
}

LRESULT MiniNewsWindow::OnItemClick(HWND window, WPARAM wparam) {
  if (ClickClosesPopup(static_cast<int32_t>(wparam)))
    PostMessageA(window, WM_CLOSE, 0, 0);
  return 0;
}
