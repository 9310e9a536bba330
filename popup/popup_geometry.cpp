// Nine-slice: corners keep their size, edges stretch along one axis, the centre
// along both, so the frame's border looks the same at any popup size.
#include "popup/popup_geometry.h"

PopupPoint PopupCorner(const ItemRect& work_area, int32_t width, int32_t height) {
  return {work_area.right - width, work_area.bottom - height};
}

void NineSlice(const ItemRect& frame, const ItemRect& inner, const ItemRect& dest,
               SlicePiece pieces[kSlicePieceCount]) {
  const int32_t left = inner.left - frame.left;
  const int32_t right = frame.right - inner.right;
  const int32_t top = inner.top - frame.top;
  const int32_t bottom = frame.bottom - inner.bottom;
  const int32_t src_w = inner.right - inner.left;
  const int32_t src_h = inner.bottom - inner.top;
  const int32_t mid_w = (dest.right - dest.left) - left - right;
  const int32_t mid_h = (dest.bottom - dest.top) - top - bottom;
  const int32_t dst_mid_x = dest.left + left;
  const int32_t dst_mid_y = dest.top + top;
  const int32_t dst_right = dest.right - right;
  const int32_t dst_bottom = dest.bottom - bottom;

  pieces[0] = {{frame.left, frame.top, left, top}, {dest.left, dest.top, left, top}, true};
  pieces[1] = {{inner.left, frame.top, src_w, top}, {dst_mid_x, dest.top, mid_w, top}, false};
  pieces[2] = {{inner.right, frame.top, right, top}, {dst_right, dest.top, right, top}, true};
  pieces[3] = {{frame.left, inner.top, left, src_h}, {dest.left, dst_mid_y, left, mid_h}, false};
  pieces[4] = {{inner.left, inner.top, src_w, src_h}, {dst_mid_x, dst_mid_y, mid_w, mid_h}, false};
  pieces[5] = {{inner.right, inner.top, right, src_h}, {dst_right, dst_mid_y, right, mid_h}, false};
  pieces[6] = {
      {frame.left, inner.bottom, left, bottom}, {dest.left, dst_bottom, left, bottom}, true};
  pieces[7] = {
      {inner.left, inner.bottom, src_w, bottom}, {dst_mid_x, dst_bottom, mid_w, bottom}, false};
  pieces[8] = {
      {inner.right, inner.bottom, right, bottom}, {dst_right, dst_bottom, right, bottom}, true};
}

int32_t CloseSpriteX(int32_t width, const MouseState& mouse) {
  if (mouse.PressedItem == kCloseItem)
    return 2 * width;
  if (mouse.HoverItem == kCloseItem)
    return width;
  return 0;
}
