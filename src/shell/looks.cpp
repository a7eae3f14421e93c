#include "shell/looks.h"

#include <QApplication>
#include <QStyle>
#include <QStyleFactory>

namespace vellomir {
namespace {

struct LookColours {
  int look;
  const char* style;
  QRgb window;
  QRgb window_text;
  QRgb button;
  QRgb button_text;
  QRgb base;
  QRgb highlight;
  QRgb highlighted_text;
};

// The classic grey of the plain look, the beige and blue of the XP looks, and the four colour
// schemes of the Office 2007 look: blue, black, silver and aqua.
constexpr LookColours kLooks[] = {
    {kLookWindows2000, "windows", 0xd4d0c8, 0x000000, 0xd4d0c8, 0x000000, 0xffffff, 0x0a246a,
     0xffffff},
    {kLookOfficeXp, "fusion", 0xf0efea, 0x000000, 0xeeede5, 0x000000, 0xffffff, 0xb6bdd2, 0x000000},
    {kLookWindowsXp, "fusion", 0xece9d8, 0x000000, 0xf4f3ee, 0x000000, 0xffffff, 0x316ac5,
     0xffffff},
    {kLookOffice2003, "fusion", 0x9ebef5, 0x000000, 0xd6e6fc, 0x000000, 0xffffff, 0xffc080,
     0x000000},
    {kLookVisualStudio2005, "fusion", 0xe9e7da, 0x000000, 0xf7f6f0, 0x000000, 0xffffff, 0xc1d2ee,
     0x000000},
    {kLookOffice2007Blue, "fusion", 0xbfdbff, 0x15428b, 0xd7e6f9, 0x15428b, 0xffffff, 0xffd55a,
     0x000000},
    {kLookOffice2007Black, "fusion", 0x4c4c4c, 0xffffff, 0x626262, 0xffffff, 0xf4f4f4, 0xf6c452,
     0x000000},
    {kLookOffice2007Silver, "fusion", 0xd0d4dd, 0x2c2c2c, 0xeef0f3, 0x2c2c2c, 0xffffff, 0xffe38e,
     0x000000},
    {kLookOffice2007Aqua, "fusion", 0xbcd9de, 0x0c4a5a, 0xe1eff1, 0x0c4a5a, 0xffffff, 0xffd37a,
     0x000000},
};

const LookColours& ColoursOf(int look) {
  for (const LookColours& colours : kLooks) {
    if (colours.look == look) return colours;
  }
  return kLooks[kDefaultLook - kFirstLook];
}

}  // namespace

int EffectiveLook(int id, int current_scheme) {
  if (id >= kFirstLook && id <= kLastLook) return id;
  const bool scheme = current_scheme >= kLookOffice2007Blue && current_scheme <= kLastLook;
  return scheme ? current_scheme : kDefaultLook;
}

QString LookStyleName(int look) {
  return QString::fromLatin1(ColoursOf(look).style);
}

QPalette LookPalette(int look) {
  const LookColours& colours = ColoursOf(look);
  QPalette palette(QColor::fromRgb(colours.button), QColor::fromRgb(colours.window));
  palette.setColor(QPalette::WindowText, QColor::fromRgb(colours.window_text));
  palette.setColor(QPalette::ButtonText, QColor::fromRgb(colours.button_text));
  palette.setColor(QPalette::Base, QColor::fromRgb(colours.base));
  palette.setColor(QPalette::AlternateBase, QColor::fromRgb(colours.window).lighter(110));
  palette.setColor(QPalette::Text, Qt::black);
  palette.setColor(QPalette::Highlight, QColor::fromRgb(colours.highlight));
  palette.setColor(QPalette::HighlightedText, QColor::fromRgb(colours.highlighted_text));
  palette.setColor(QPalette::ToolTipBase, QColor(0xff, 0xff, 0xe1));
  palette.setColor(QPalette::ToolTipText, Qt::black);
  palette.setColor(QPalette::Link, QColor(0x00, 0x00, 0xff));
  // Disabled texts halfway between the text and the ground, so that they read as greyed out.
  auto halfway = [](QRgb a, QRgb b) {
    return QColor((qRed(a) + qRed(b)) / 2, (qGreen(a) + qGreen(b)) / 2, (qBlue(a) + qBlue(b)) / 2);
  };
  palette.setColor(QPalette::Disabled, QPalette::WindowText,
                   halfway(colours.window_text, colours.window));
  palette.setColor(QPalette::Disabled, QPalette::ButtonText,
                   halfway(colours.button_text, colours.button));
  palette.setColor(QPalette::Disabled, QPalette::Text, halfway(0x000000, colours.base));
  return palette;
}

void ApplyLookToApplication(int look) {
  if (QStyle* style = QStyleFactory::create(LookStyleName(look))) QApplication::setStyle(style);
  QApplication::setPalette(LookPalette(look));
}

}  // namespace vellomir
