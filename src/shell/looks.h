// The application looks 210 to 218 of the View menu: a Qt style and a palette each.
#ifndef VELLOMIR_SHELL_LOOKS_H_
#define VELLOMIR_SHELL_LOOKS_H_

#include <QPalette>
#include <QString>

namespace vellomir {

enum LookId : int {
  kLookWindows2000 = 210,
  kLookOfficeXp = 211,
  kLookWindowsXp = 212,
  kLookOffice2003 = 213,
  kLookVisualStudio2005 = 214,
  kLookOffice2007Blue = 215,
  kLookOffice2007Black = 216,
  kLookOffice2007Silver = 217,
  kLookOffice2007Aqua = 218,
};
inline constexpr int kFirstLook = kLookWindows2000;
inline constexpr int kLastLook = kLookOffice2007Aqua;
inline constexpr int kDefaultLook = kLookOffice2007Blue;

// The look a stored or chosen identifier stands for: itself for 210 to 218; any other one is the
// Office 2007 style in the scheme `current_scheme` (215 to 218) that is in use.
int EffectiveLook(int id, int current_scheme);
// The Qt style ("windows", "fusion") and the palette of a look (210 to 218).
QString LookStyleName(int look);
QPalette LookPalette(int look);
// Makes `look` the look of the whole application.
void ApplyLookToApplication(int look);

}  // namespace vellomir

#endif  // VELLOMIR_SHELL_LOOKS_H_
