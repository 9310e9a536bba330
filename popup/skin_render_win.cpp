// Drawing of the popup. Everything is composed in the back buffer, a memory DC of
// the client size, which is rebuilt only when the skin, the texts or the close
// button's state change; painting copies from it. The skin surface holds the
// skin bitmap for the whole run.
#include "popup/mini_news_window_win.h"

#include "popup/popup_geometry.h"

namespace {

const COLORREF kKeyColour = RGB(255, 0, 255);
const COLORREF kItemTextColour = RGB(12, 78, 124);
const COLORREF kHoverTextColour = RGB(22, 122, 235);
// The rows of the check box and below are left alone when redrawing a shown
// popup, so the box is never painted over.
const int kRowsKeptOnRedraw = 80;
const int kTitleTextSize = 64;
const UINT kTitleFormat = DT_VCENTER | DT_SINGLELINE | DT_NOPREFIX | DT_WORD_ELLIPSIS;
const UINT kHeadingFormat = DT_CENTER | kTitleFormat;
const UINT kMessageFormat = DT_WORDBREAK | DT_NOPREFIX | DT_WORD_ELLIPSIS;

HDC CreateScreenCompatibleDC() {
  HDC screen = GetDC(nullptr);
  HDC dc = CreateCompatibleDC(screen);
  ReleaseDC(nullptr, screen);
  return dc;
}

}  // namespace

void MiniNewsWindow::SetSkinBitmap(HBITMAP bitmap) {
  if (skin_bitmap_ != nullptr) {
    SelectObject(skin_surface_, skin_previous_);
    DeleteObject(skin_bitmap_);
    skin_bitmap_ = nullptr;
    skin_previous_ = nullptr;
  }
  if (skin_surface_ == nullptr)
    skin_surface_ = CreateScreenCompatibleDC();
  skin_previous_ = SelectObject(skin_surface_, bitmap);
  skin_bitmap_ = bitmap;
  title_colour_ = RGB(0, 0, 0);
  Redraw();
}

int MiniNewsWindow::Redraw() {
  if (window_ == nullptr)
    return 0;
  if (!IsWindow(window_)) {
    window_ = nullptr;
    return 0;
  }
  if (!RenderBackBuffer())
    return 0;
  if (!IsWindowVisible(window_))
    return 1;  // ready for the first paint

  RECT client;
  GetClientRect(window_, &client);
  HDC dc = GetDC(window_);
  BitBlt(dc, 0, 0, client.right, client.bottom - kRowsKeptOnRedraw, back_buffer_, 0, 0, SRCCOPY);
  ReleaseDC(window_, dc);
  return 1;
}

int MiniNewsWindow::CreateBackBuffer(int width, int height) {
  HDC screen = GetDC(nullptr);
  back_buffer_ = CreateCompatibleDC(screen);
  back_bitmap_ = CreateCompatibleBitmap(screen, width, height);
  ReleaseDC(nullptr, screen);
  if (back_buffer_ == nullptr || back_bitmap_ == nullptr) {
    if (back_bitmap_ != nullptr)
      DeleteObject(back_bitmap_);
    if (back_buffer_ != nullptr)
      DeleteDC(back_buffer_);
    back_buffer_ = nullptr;
    back_bitmap_ = nullptr;
    return 0;
  }
  back_previous_ = SelectObject(back_buffer_, back_bitmap_);
  SetBkMode(back_buffer_, TRANSPARENT);
  return 1;
}

int MiniNewsWindow::RenderBackBuffer() {
  if (skin_surface_ == nullptr || window_ == nullptr || items_ == nullptr)
    return 0;
  RECT client;
  GetClientRect(window_, &client);
  if (back_buffer_ == nullptr && !CreateBackBuffer(client.right, client.bottom))
    return 0;

  DrawNineSlice(kSkinFrame, kSkinFrameInner, {0, 0, client.right, client.bottom});
  DrawTitle(client.right);
  DrawCloseButton();
  DrawItemText(items_[kHeadingItem]);
  DrawItemText(items_[kMessageItem]);
  return 1;
}

void MiniNewsWindow::DrawNineSlice(const ItemRect& frame, const ItemRect& inner,
                                   const ItemRect& dest) {
  SlicePiece pieces[kSlicePieceCount];
  NineSlice(frame, inner, dest, pieces);
  for (const SlicePiece& p : pieces) {
    const BlitBox& s = p.Source;
    const BlitBox& d = p.Dest;
    if (p.Keyed) {
      TransparentBlt(back_buffer_, d.x, d.y, d.width, d.height, skin_surface_, s.x, s.y, s.width,
                     s.height, kKeyColour);
    } else {
      StretchBlt(back_buffer_, d.x, d.y, d.width, d.height, skin_surface_, s.x, s.y, s.width,
                 s.height, SRCCOPY);
    }
  }
}

// The small icon and the window text "P2P" in the title band.
void MiniNewsWindow::DrawTitle(int width) {
  RECT title = {8, 5, width - 50, 21};
  HICON icon = reinterpret_cast<HICON>(SendMessageA(window_, WM_GETICON, ICON_SMALL, 0));
  if (icon == nullptr)
    icon = program_icon_;
  if (icon != nullptr) {
    DrawIconEx(back_buffer_, 8, 5, icon, 16, 16, 0, nullptr, DI_NORMAL);
    title.left += 25;
  }
  char text[kTitleTextSize];
  if (GetWindowTextLengthA(window_) == 0 || GetWindowTextA(window_, text, sizeof text) == 0)
    return;
  HGDIOBJ previous = SelectObject(back_buffer_, normal_font_);
  SetTextColor(back_buffer_, title_colour_);
  DrawTextA(back_buffer_, text, -1, &title, kTitleFormat);
  SelectObject(back_buffer_, previous);
}

void MiniNewsWindow::DrawCloseButton() {
  const PopupItem& close = items_[kCloseItem];
  BitBlt(back_buffer_, close.X, close.Y, close.Width, close.Height, skin_surface_,
         CloseSpriteX(close.Width, mouse_), kCloseSpriteTop, SRCCOPY);
}

void MiniNewsWindow::DrawItemText(const PopupItem& item) {
  if (item.Text.empty())
    return;
  bool heading = item.Id == kHeadingItem;
  HGDIOBJ previous = SelectObject(back_buffer_, heading ? bold_font_ : normal_font_);
  SetTextColor(back_buffer_, item.Id == mouse_.HoverItem ? kHoverTextColour : kItemTextColour);
  RECT r = {item.Rect.left, item.Rect.top, item.Rect.right, item.Rect.bottom};
  DrawTextA(back_buffer_, item.Text.c_str(), -1, &r, heading ? kHeadingFormat : kMessageFormat);
  SelectObject(back_buffer_, previous);
}
