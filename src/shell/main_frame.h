// The program's only top-level window: menus, the toolbar "Standard", the status bar and the main
// view, the application looks with their stored setting, help, the home page and the rules for
// closing, which refuse to close while a repair runs.
//
// Usage:
//   CMainFrame frame;          // reads the stored look and applies it
//   frame.showMaximized();
#ifndef VELLOMIR_SHELL_MAIN_FRAME_H_
#define VELLOMIR_SHELL_MAIN_FRAME_H_

#include <QDialog>
#include <QList>
#include <QMainWindow>
#include <QMap>
#include <QString>
#include <QStringList>

class QActionGroup;
class QCheckBox;
class QToolBar;

namespace vellomir {

class CStatusIndicators;
class CVellomirView;

// The frame's command identifiers; the looks are 210 to 218 (looks.h).
enum FrameCommand : int {
  kCmdCustomize = 126,
  kCmdHelp = 32771,
  kCmdHomePage = 32772,
  kCmdSelectFilesCommand = 57600,
  kCmdRemoveFilesCommand = 57601,
  kCmdRepair = 57603,
  kCmdPrint = 57607,
  kCmdCopy = 57634,
  kCmdCut = 57635,
  kCmdPaste = 57637,
  kCmdUndo = 57643,
  kCmdAbout = 57664,
  kCmdExitProgram = 57665,
  kCmdNextPane = 57680,
  kCmdPreviousPane = 57681,
  kCmdToolbar = 59392,
  kCmdStatusBar = 59393,
};

// The toolbar's own buttons, in their order (a separator stands before About).
inline constexpr int kToolbarCommands[] = {kCmdSelectFilesCommand, kCmdRemoveFilesCommand,
                                           kCmdRepair, kCmdAbout};

class CMainFrame : public QMainWindow {
  Q_OBJECT

 public:
  explicit CMainFrame(QWidget* parent = nullptr);
  ~CMainFrame() override;

  CVellomirView* View() const { return m_view; }
  // The action of a command identifier; null for an unknown one.
  QAction* Command(int id) const { return m_commands.value(id); }
  QToolBar* Toolbar() const { return m_toolbar; }
  CStatusIndicators* Indicators() const { return m_indicators; }

  int CurrentLook() const { return m_look; }
  // Switches the look, marks it in the menu and stores it.
  void ApplyLook(int id);
  // The folder that was current when the frame was created, ending in the separator.
  const QString& StartupFolder() const { return m_startupFolder; }
  // Where help is looked for, in order.
  QStringList HelpCandidates() const;
  void OpenHelpFile();
  void OpenHomePage();
  // True when the window may close (no run is active and the person said Yes).
  bool ConfirmClose();
  void Customize();
  void PrintView();
  // Toolbar buttons the person has hidden with Customize.
  QList<int> HiddenToolbarCommands() const { return m_hiddenToolbarCommands; }
  void SetHiddenToolbarCommands(const QList<int>& hidden);

 protected:
  bool event(QEvent* event) override;
  void closeEvent(QCloseEvent* event) override;

 private:
  QAction* AddCommand(int id, const QString& text, const QString& prompt = QString());
  void CreateMenus();
  void CreateToolbar();
  void CreateKeys();
  void FillToolbar();
  void SaveWindowState();
  void RestoreWindowState();
  void FollowFileList(bool visible);

  CVellomirView* m_view = nullptr;
  QToolBar* m_toolbar = nullptr;
  CStatusIndicators* m_indicators = nullptr;
  QActionGroup* m_looks = nullptr;
  QMap<int, QAction*> m_commands;
  QList<int> m_hiddenToolbarCommands;
  int m_look = 0;
  QString m_startupFolder;
};

// Customize: which of the toolbar's buttons are shown.
class CCustomizeDialog : public QDialog {
  Q_OBJECT

 public:
  CCustomizeDialog(const CMainFrame& frame, QWidget* parent = nullptr);
  QCheckBox* Choice(int command) const { return m_choices.value(command); }
  QList<int> Hidden() const;

 private:
  QMap<int, QCheckBox*> m_choices;
};

}  // namespace vellomir

#endif  // VELLOMIR_SHELL_MAIN_FRAME_H_
