#include "shell/artwork.h"

#include <QImage>
#include <QMap>
#include <QPainter>
#include <QSvgRenderer>

namespace vellomir {
namespace {

struct Picture {
  int id;
  const char* source;
  QSize size;
};

constexpr int kToolbarImage = 16;
constexpr int kButtonImage = 24;

const Picture kBitmaps[] = {
    {kBitmapHeaderName, ":/art/header_name.svg", {194, 71}},
    {kBitmapHeaderLogo, ":/art/header_logo.svg", {173, 71}},
    {kBitmapHeaderFiller, ":/art/header_filler.svg", {173, 71}},
    {kBitmapFooterHelp, ":/art/footer_help.svg", {48, 48}},
    {kBitmapFooterFiller, ":/art/footer_filler.svg", {173, 71}},
};

const Picture kButtonImages[] = {
    {kImageNext, ":/art/button_next.svg", {kButtonImage, kButtonImage}},
    {kImageBack, ":/art/button_back.svg", {kButtonImage, kButtonImage}},
    {kImageRemove, ":/art/button_remove.svg", {kButtonImage, kButtonImage}},
    {kImageExit, ":/art/button_exit.svg", {kButtonImage, kButtonImage}},
    {kImageAdd, ":/art/button_add.svg", {kButtonImage, kButtonImage}},
};

const Picture kToolbarImages[] = {
    {57600, ":/art/tool_select.svg", {kToolbarImage, kToolbarImage}},
    {57601, ":/art/tool_remove.svg", {kToolbarImage, kToolbarImage}},
    {57603, ":/art/tool_repair.svg", {kToolbarImage, kToolbarImage}},
    {57664, ":/art/tool_about.svg", {kToolbarImage, kToolbarImage}},
};

template <size_t N>
const Picture* Find(const Picture (&pictures)[N], int id) {
  for (const Picture& picture : pictures) {
    if (picture.id == id) return &picture;
  }
  return nullptr;
}

// `opaque` pictures are copied as they are, so they start from white rather than transparency.
QImage Render(const char* source, QSize size, bool opaque) {
  QSvgRenderer renderer{QString::fromLatin1(source)};
  if (!renderer.isValid()) return QImage();
  QImage image(size, opaque ? QImage::Format_RGB32 : QImage::Format_ARGB32_Premultiplied);
  image.fill(opaque ? Qt::white : Qt::transparent);
  QPainter painter(&image);
  renderer.render(&painter, QRectF(QPointF(0, 0), QSizeF(size)));
  return image;
}

QIcon IconOf(const Picture* picture) {
  if (picture == nullptr) return QIcon();
  const QImage image = Render(picture->source, picture->size, /*opaque=*/false);
  return image.isNull() ? QIcon() : QIcon(QPixmap::fromImage(image));
}

}  // namespace

QSize BitmapSize(int id) {
  const Picture* picture = Find(kBitmaps, id);
  return picture ? picture->size : QSize();
}

QPixmap Bitmap(int id) {
  // Drawn once per process; the view paints them on every repaint.
  static QMap<int, QPixmap> cache;
  if (auto found = cache.constFind(id); found != cache.constEnd()) return *found;
  const Picture* picture = Find(kBitmaps, id);
  QPixmap pixmap;
  if (picture != nullptr) {
    pixmap = QPixmap::fromImage(Render(picture->source, picture->size, /*opaque=*/true));
  }
  cache.insert(id, pixmap);
  return pixmap;
}

QIcon ButtonImage(int id) {
  return IconOf(Find(kButtonImages, id));
}

QIcon ToolbarImage(int command) {
  return IconOf(Find(kToolbarImages, command));
}

QIcon ApplicationIcon() {
  QIcon icon;
  for (int size : {16, 24, 32, 48, 64, 128, 256}) {
    const QImage image = Render(":/vellomir.svg", QSize(size, size), /*opaque=*/false);
    if (!image.isNull()) icon.addPixmap(QPixmap::fromImage(image));
  }
  return icon;
}

QPixmap AboutBanner() {
  return QPixmap::fromImage(Render(":/art/about_banner.svg", QSize(472, 71), /*opaque=*/true));
}

}  // namespace vellomir
