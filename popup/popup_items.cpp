// Item rectangles follow from the table once, when it is made, so hit-testing
// and drawing read the same edges.
#include "popup/popup_items.h"

namespace {

struct ItemPlace {
  int32_t x, y, width, height;
};

const ItemPlace kItemPlaces[kPopupItemCount] = {
    {210, 1, 40, 18},    // close button
    {195, 155, 50, 20},  // footer area
    {8, 26, 234, 20},    // heading line
    {8, 51, 234, 23},    // message
};

}  // namespace

PopupItem* MakePopupItems() {
  PopupItem* items = new PopupItem[kPopupItemCount];
  for (int32_t i = 0; i < kPopupItemCount; ++i) {
    const ItemPlace& p = kItemPlaces[i];
    items[i].Id = i;
    items[i].X = p.x;
    items[i].Y = p.y;
    items[i].Width = p.width;
    items[i].Height = p.height;
    items[i].Rect = {p.x, p.y, p.x + p.width, p.y + p.height};
  }
  return items;
}

int32_t HitTest(const PopupItem* items, int32_t count, int32_t x, int32_t y) {
  for (int32_t i = 0; i < count; ++i) {
    const ItemRect& r = items[i].Rect;
    if (x >= r.left && x < r.right && y >= r.top && y < r.bottom)
      return i;
  }
  return -1;
}

bool MouseMovedTo(MouseState* mouse, int32_t item) {
  if (item == mouse->HoverItem)
    return false;
  mouse->HoverItem = item;
  return item == -1 || item == kCloseItem;
}

bool MousePressedAt(MouseState* mouse, int32_t item) {
  mouse->PressedItem = item;
  return item == -1;
}

int32_t MouseReleasedAt(MouseState* mouse, int32_t item) {
  if (mouse->PressedItem == -1)
    return -1;
  int32_t clicked = item == mouse->PressedItem ? item : -1;
  mouse->PressedItem = -1;
  return clicked;
}

bool MouseLeft(MouseState* mouse) {
  bool was_set = mouse->HoverItem != -1 || mouse->PressedItem != -1;
  mouse->HoverItem = -1;
  mouse->PressedItem = -1;
  return was_set;
}

bool ClickClosesPopup(int32_t item) {
  return item == kCloseItem;
}

int FlipTipLater(int tip_later) {
  return tip_later == 0 ? 1 : 0;
}
