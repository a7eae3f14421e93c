// The program's pictures, drawn from the SVG sources in its resources at the sizes the windows
// use them. Identifiers are the numbers the windows know them by.
#ifndef VELLOMIR_SHELL_ARTWORK_H_
#define VELLOMIR_SHELL_ARTWORK_H_

#include <QIcon>
#include <QPixmap>
#include <QSize>

namespace vellomir {

// The view's background bitmaps.
enum BitmapId : int {
  kBitmapHeaderName = 310,    // 194 x 71, the product's name on a yellow ground
  kBitmapHeaderLogo = 312,    // 173 x 71, the logo panel
  kBitmapHeaderFiller = 313,  // 173 x 71, yellow with a pale band along its bottom
  kBitmapFooterHelp = 314,    // 48 x 48, a white question mark on a blue disc
  kBitmapFooterFiller = 323,  // 173 x 71, yellow with a pale band along its top
};

// The buttons' 24 x 24 images, with an alpha channel.
enum ButtonImageId : int {
  kImageNext = 317,    // green arrow to the right
  kImageBack = 318,    // green arrow to the left
  kImageRemove = 319,  // sheet with a red cross
  kImageExit = 320,    // white cross on a red disc
  kImageAdd = 321,     // sheet with a green plus
};

// The size a background bitmap is drawn at; empty for an unknown identifier.
QSize BitmapSize(int id);
// The background bitmap, opaque, at its own size. A null pixmap when it cannot be drawn.
QPixmap Bitmap(int id);
QIcon ButtonImage(int id);
// The toolbar's 16 x 16 image for a command (57600, 57601, 57603, 57664); null when it has none.
QIcon ToolbarImage(int command);
QIcon ApplicationIcon();
// The about box's banner, 472 x 71.
QPixmap AboutBanner();

}  // namespace vellomir

#endif  // VELLOMIR_SHELL_ARTWORK_H_
