// The popup's hot items and the mouse over them: the item table, hit-testing,
// and the hover/pressed state machine. None of it needs a window, so the window
// procedure only feeds it client points and acts on what it answers.
#pragma once
#include <cstdint>
#include <string>

struct ItemRect {
  int32_t left, top, right, bottom;  // right and bottom lie outside
};

struct PopupItem {
  std::string Text;
  int32_t Id;
  int32_t X, Y, Width, Height;  // client coordinates
  ItemRect Rect;
};

enum PopupItemId : int32_t {
  kCloseItem = 0,
  kFooterItem = 1,
  kHeadingItem = 2,
  kMessageItem = 3,
  kPopupItemCount = 4,
};

// A new table of the four items with empty texts; an item's index is its id.
PopupItem* MakePopupItems();

// Index of the first item whose rectangle holds (x, y), or -1.
int32_t HitTest(const PopupItem* items, int32_t count, int32_t x, int32_t y);

struct MouseState {
  int32_t HoverItem = -1;
  int32_t PressedItem = -1;
};

// The mouse moved onto item (or -1). True when the picture must be redrawn: the
// hover item changed to none or to the close button.
bool MouseMovedTo(MouseState* mouse, int32_t item);
// The left button went down on item. True when the press is on the background,
// which drags the popup.
bool MousePressedAt(MouseState* mouse, int32_t item);
// The left button came up on item: the item clicked (released where it was
// pressed), or -1.
int32_t MouseReleasedAt(MouseState* mouse, int32_t item);
// The mouse left the popup. True when a hover or pressed item was set, which
// must be redrawn.
bool MouseLeft(MouseState* mouse);

// Only the close button acts on a click.
bool ClickClosesPopup(int32_t item);
// Each click on the check box flips it.
int FlipTipLater(int tip_later);
