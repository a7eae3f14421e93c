// The desktop program's own texts, exactly as the windows and message boxes show them. The texts
// of a repair run live with the engine (engine/repair_engine.h).
#ifndef VELLOMIR_SHELL_SHELL_TEXTS_H_
#define VELLOMIR_SHELL_SHELL_TEXTS_H_

#include <QString>
#include <string>
#include <string_view>

#include "shell/shell_config.h"

namespace vellomir {

inline QString Q(std::u16string_view text) {
  return QString(reinterpret_cast<const QChar*>(text.data()), static_cast<qsizetype>(text.size()));
}

// The application title: the caption of every message box and the settings' application name.
inline constexpr std::u16string_view kAppTitle = u"Vellomir";
// The settings root and the group that holds the look and the window state.
inline constexpr std::u16string_view kSettingsRoot = u"Vellomir1";
inline constexpr std::u16string_view kSettingsGroup = u"Workspace";

// The main view. The instruction's bold ranges are " Select Files" and " Next".
inline constexpr std::u16string_view kInstructionText =
    u"\nClick Select Files to select and list .ods file(s) for repairing.\nClick Next to repair "
    u"the listed file(s).";
static_assert(kInstructionText.size() == 107);
inline constexpr std::u16string_view kStopQuestion =
    u"Are you sure you want to stop the saving process ?";

// The file list and the start of a run.
inline constexpr std::u16string_view kSelectFilesTitle = u"Select file(s) to repair";
inline constexpr std::u16string_view kSelectFilesFilter = u"Calc File(*.ods)";
inline constexpr std::u16string_view kAlreadyListed = u" already exist in the list";
inline constexpr std::u16string_view kNetworkMessage =
    u"You are selecting the file from network. \r\nIt's advisable to copy the file to local "
    u"computer for better saving results ";
inline constexpr std::u16string_view kNothingToRemove = u"Please select file to remove";
inline constexpr std::u16string_view kNothingListed =
    u"Please select files using Select files button";
inline constexpr std::u16string_view kFolderBrowserTitle =
    u"Select location to save repaired file(s)";
inline constexpr std::u16string_view kOpticalDiscMessage =
    u"Please appropriate path for saving repaired file(s)";

// The main frame.
inline constexpr std::u16string_view kStopCurrentProcess = u"Please stop current process";
inline constexpr std::u16string_view kCloseQuestion = u"Do you want to close the software ?";
inline constexpr std::u16string_view kHelpFileName = u"Vellomir.chm";
// The guide as HTML, accepted beside the CHM name because Linux has no CHM viewer to rely on.
inline constexpr std::u16string_view kHelpGuideName = u"Vellomir.html";
inline constexpr std::u16string_view kHelpMissing =
    u"Vellomir.chm file not exist, please reinstall software ";

// Start-up.
inline constexpr std::u16string_view kAnotherInstance = u"Another Instance of Vellomir is running ";
inline constexpr std::u16string_view kCannotOpenDocument = u"Cannot open the file ";

// The dialogs.
inline constexpr std::u16string_view kAboutCaption = u"About Vellomir";

inline QString DisplayVersion() {
  return QStringLiteral(VELLOMIR_DISPLAY_VERSION);
}
inline QString HomePage() {
  return QStringLiteral(VELLOMIR_HOME_PAGE);
}
inline QString FrameCaption() {
  return Q(kAppTitle) + QStringLiteral(" - Ver ") + DisplayVersion();
}

}  // namespace vellomir

#endif  // VELLOMIR_SHELL_SHELL_TEXTS_H_
