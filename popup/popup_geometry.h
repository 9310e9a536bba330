// Where the popup goes and how its skin is cut: the corner in the work area,
// the nine pieces of the frame, and the close button's sprite for its state.
// Pure arithmetic, so the drawing code only hands the results to the blits.
#pragma once
#include <cstdint>

#include "popup/popup_items.h"

constexpr int32_t kPopupWidth = 250;
constexpr int32_t kPopupHeight = 180;

// The skin bitmap's frame, the frame's stretchable middle, and the row of the
// close button's three sprites (normal, hover, pressed, side by side).
constexpr ItemRect kSkinFrame = {0, 0, 80, 60};
constexpr ItemRect kSkinFrameInner = {35, 25, 45, 30};
constexpr int32_t kCloseSpriteTop = 60;

struct PopupPoint {
  int32_t x, y;
};

// Top-left corner that puts a width x height window flush against the right and
// bottom edges of the work area.
PopupPoint PopupCorner(const ItemRect& work_area, int32_t width, int32_t height);

struct BlitBox {
  int32_t x, y, width, height;
};

// One piece of the frame: copied at its size with the key colour left out
// (corners), or stretched (edges and centre).
struct SlicePiece {
  BlitBox Source;
  BlitBox Dest;
  bool Keyed;
};

constexpr int kSlicePieceCount = 9;

// The nine pieces that draw frame (with its stretchable inner rectangle) over
// dest, in drawing order: top-left, top, top-right, left, centre, right,
// bottom-left, bottom, bottom-right.
void NineSlice(const ItemRect& frame, const ItemRect& inner, const ItemRect& dest,
               SlicePiece pieces[kSlicePieceCount]);

// Left edge of the close button's sprite: pressed wins over hover.
int32_t CloseSpriteX(int32_t width, const MouseState& mouse);
