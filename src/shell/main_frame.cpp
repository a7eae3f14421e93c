#include "shell/main_frame.h"

#include <QActionGroup>
#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QDialogButtonBox>
#include <QDir>
#include <QFileInfo>
#include <QLabel>
#include <QMenuBar>
#include <QPainter>
#include <QPrinter>
#include <QSettings>
#include <QStatusBar>
#include <QStatusTipEvent>
#include <QToolBar>
#include <QVBoxLayout>

#include "shell/artwork.h"
#include "shell/dialogs.h"
#include "shell/looks.h"
#include "shell/shell_texts.h"
#include "shell/status_indicators.h"
#include "shell/ui_seam.h"
#include "shell/vellomir_view.h"

namespace vellomir {
namespace {

constexpr char kLookKey[] = "ApplicationLook";
constexpr char kGeometryKey[] = "MainFrameGeometry";
constexpr char kStateKey[] = "MainFrameState";
constexpr char kHiddenButtonsKey[] = "HiddenToolbarButtons";
constexpr char kStatusBarKey[] = "StatusBar";
constexpr int kStateVersion = 1;

// The settings of the program: root "Vellomir1", application "Vellomir", group "Workspace".
class WorkspaceSettings {
 public:
  WorkspaceSettings() : settings_(Q(kSettingsRoot), Q(kAppTitle)) {
    settings_.beginGroup(Q(kSettingsGroup));
  }
  QSettings* operator->() { return &settings_; }

 private:
  QSettings settings_;
};

struct LookItem {
  int id;
  const char* text;
};
constexpr LookItem kPlainLooks[] = {{kLookWindows2000, "Windows &2000"},
                                    {kLookOfficeXp, "Office &XP"},
                                    {kLookWindowsXp, "&Windows XP"},
                                    {kLookOffice2003, "Office 200&3"},
                                    {kLookVisualStudio2005, "Visual Studio.NET 200&5"}};
constexpr LookItem kOffice2007Looks[] = {{kLookOffice2007Blue, "&Blue Style"},
                                         {kLookOffice2007Black, "B&lack Style"},
                                         {kLookOffice2007Silver, "&Silver Style"},
                                         {kLookOffice2007Aqua, "&Aqua Style"}};

// A prompt is the status bar's text, then after a line feed the toolbar button's tool tip.
void SetPrompt(QAction& action, const QString& prompt) {
  const qsizetype split = prompt.indexOf(u'\n');
  action.setStatusTip(split < 0 ? prompt : prompt.left(split));
  if (split >= 0) action.setToolTip(prompt.mid(split + 1));
}

QString WithSeparator(QString folder) {
  if (!folder.endsWith(u'/')) folder += u'/';
  return folder;
}

}  // namespace

CMainFrame::CMainFrame(QWidget* parent) : QMainWindow(parent) {
  setWindowTitle(FrameCaption());
  setWindowIcon(ApplicationIcon());
  m_look = WorkspaceSettings()->value(kLookKey, kDefaultLook).toInt();
  m_hiddenToolbarCommands.clear();
  for (const QVariant& id : WorkspaceSettings()->value(kHiddenButtonsKey).toList()) {
    m_hiddenToolbarCommands.append(id.toInt());
  }

  m_view = new CVellomirView(this);
  setCentralWidget(m_view);

  CreateMenus();
  CreateToolbar();
  CreateKeys();
  statusBar()->showMessage(QStringLiteral("Ready"));
  m_indicators = new CStatusIndicators(*statusBar(), this);
  // No user-defined toolbars exist in this program, so it has no user toolbar images to load;
  // and no personalised menus: every item is always shown.
  ApplyLook(m_look);
  RestoreWindowState();

  connect(m_view, &CVellomirView::FileListVisibilityChanged, this, &CMainFrame::FollowFileList);
  FollowFileList(m_view->IsFileListVisible());
  m_startupFolder = WithSeparator(QDir::currentPath());
}

CMainFrame::~CMainFrame() = default;

QAction* CMainFrame::AddCommand(int id, const QString& text, const QString& prompt) {
  auto* action = new QAction(text, this);
  action->setData(id);
  action->setObjectName(QString::number(id));
  if (!prompt.isEmpty()) SetPrompt(*action, prompt);
  m_commands.insert(id, action);
  return action;
}

void CMainFrame::CreateMenus() {
  QMenu* file = menuBar()->addMenu(QStringLiteral("&File"));
  file->addAction(AddCommand(kCmdSelectFilesCommand, QStringLiteral("&Select Files\tCtrl+O"),
                             QStringLiteral("Select file(s) to repair\nSelect file(s)")));
  file->addAction(AddCommand(kCmdRemoveFilesCommand, QStringLiteral("Rem&ove Files\tCtrl+D"),
                             QStringLiteral(" Remove selected file(s) from the list\n"
                                            "Remove File(s)")));
  file->addAction(AddCommand(kCmdRepair, QStringLiteral("&Repair\tCtrl+R"),
                             QStringLiteral("Repair selected file(s)\nRepair files")));
  file->addSeparator();
  file->addAction(AddCommand(kCmdExitProgram, QStringLiteral("E&xit"),
                             QStringLiteral("Quit the application; prompts to save documents\n"
                                            "Exit")));
  connect(Command(kCmdSelectFilesCommand), &QAction::triggered, m_view,
          &CVellomirView::OnSelectFiles);
  connect(Command(kCmdRemoveFilesCommand), &QAction::triggered, m_view,
          &CVellomirView::OnRemoveFiles);
  connect(Command(kCmdRepair), &QAction::triggered, m_view, &CVellomirView::OnNext);
  connect(Command(kCmdExitProgram), &QAction::triggered, this, &QWidget::close);

  QMenu* view = menuBar()->addMenu(QStringLiteral("&View"));
  QMenu* bars = view->addMenu(QStringLiteral("&Toolbars and Docking Windows"));
  bars->setObjectName(QStringLiteral("Toolbars and Docking Windows"));
  QAction* status_bar =
      AddCommand(kCmdStatusBar, QStringLiteral("&Status Bar"),
                 QStringLiteral("Show or hide the status bar\nToggle Status Bar"));
  view->addAction(status_bar);
  status_bar->setCheckable(true);
  status_bar->setChecked(true);
  connect(status_bar, &QAction::toggled, statusBar(), &QWidget::setVisible);

  QMenu* looks = view->addMenu(QStringLiteral("&Application Look"));
  m_looks = new QActionGroup(this);
  m_looks->setExclusive(true);
  auto add_look = [this](QMenu* menu, const LookItem& item) {
    QAction* action = AddCommand(item.id, QString::fromLatin1(item.text));
    action->setCheckable(true);
    m_looks->addAction(action);
    menu->addAction(action);
    connect(action, &QAction::triggered, this, [this, id = item.id] { ApplyLook(id); });
  };
  for (const LookItem& item : kPlainLooks) add_look(looks, item);
  QMenu* office2007 = looks->addMenu(QStringLiteral("Office 200&7"));
  for (const LookItem& item : kOffice2007Looks) add_look(office2007, item);

  QMenu* help = menuBar()->addMenu(QStringLiteral("&Help"));
  help->addAction(AddCommand(kCmdHelp, QStringLiteral("Software Help"),
                             QStringLiteral("Display Software help")));
  help->addAction(AddCommand(kCmdHomePage, QStringLiteral("Visit Software Homepage")));
  help->addAction(AddCommand(kCmdAbout, QStringLiteral("&About Vellomir..."),
                             QStringLiteral(" View Program information: version, support "
                                            "details, and copyright\nAbout")));
  connect(Command(kCmdHelp), &QAction::triggered, this, &CMainFrame::OpenHelpFile);
  connect(Command(kCmdHomePage), &QAction::triggered, this, &CMainFrame::OpenHomePage);
  connect(Command(kCmdAbout), &QAction::triggered, this, [this] { ShowAboutBox(this); });

  // Its button on the toolbar keeps the dots that Qt would take from a button's text.
  AddCommand(kCmdCustomize, QStringLiteral("Customize..."))
      ->setIconText(QStringLiteral("Customize..."));
  connect(Command(kCmdCustomize), &QAction::triggered, this, &CMainFrame::Customize);
}

void CMainFrame::CreateToolbar() {
  m_toolbar = new QToolBar(QStringLiteral("Standard"), this);
  m_toolbar->setObjectName(QStringLiteral("Standard"));
  m_toolbar->setIconSize(QSize(16, 16));
  m_toolbar->setMovable(true);
  m_toolbar->setFloatable(true);
  m_toolbar->setAllowedAreas(Qt::AllToolBarAreas);
  m_toolbar->setContentsMargins(1, 1, 1, 1);
  addToolBar(Qt::TopToolBarArea, m_toolbar);
  for (int id : kToolbarCommands) Command(id)->setIcon(ToolbarImage(id));
  FillToolbar();

  // The bars' submenu lists each bar with a check, then Customize.
  auto* bars = menuBar()->findChild<QMenu*>(QStringLiteral("Toolbars and Docking Windows"));
  QAction* toolbar = m_toolbar->toggleViewAction();
  toolbar->setData(int(kCmdToolbar));
  toolbar->setObjectName(QString::number(kCmdToolbar));
  m_commands.insert(kCmdToolbar, toolbar);
  bars->addAction(toolbar);
  bars->addSeparator();
  bars->addAction(Command(kCmdCustomize));
}

void CMainFrame::FillToolbar() {
  m_toolbar->clear();
  for (int id : kToolbarCommands) {
    if (id == kCmdAbout) m_toolbar->addSeparator();
    if (!m_hiddenToolbarCommands.contains(id)) m_toolbar->addAction(Command(id));
  }
  m_toolbar->addAction(Command(kCmdCustomize));
}

void CMainFrame::CreateKeys() {
  // The keys the File menu names; standard editing and pane keys that nothing here handles stay
  // disabled, so they reach the control that has the focus (the log pane copies its selection).
  Command(kCmdSelectFilesCommand)->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_O));
  Command(kCmdRemoveFilesCommand)->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_D));
  Command(kCmdRepair)->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_R));

  QAction* print = AddCommand(kCmdPrint, QStringLiteral("&Print..."));
  print->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_P));
  connect(print, &QAction::triggered, this, &CMainFrame::PrintView);
  addAction(print);

  QAction* help_key = new QAction(this);
  help_key->setShortcut(QKeySequence(Qt::Key_F1));
  connect(help_key, &QAction::triggered, this, &CMainFrame::OpenHelpFile);
  addAction(help_key);

  const struct {
    int id;
    QList<QKeySequence> keys;
  } kUnhandled[] = {
      {kCmdUndo, {QKeySequence(Qt::CTRL | Qt::Key_Z), QKeySequence(Qt::ALT | Qt::Key_Backspace)}},
      {kCmdCut, {QKeySequence(Qt::CTRL | Qt::Key_X), QKeySequence(Qt::SHIFT | Qt::Key_Delete)}},
      {kCmdCopy, {QKeySequence(Qt::CTRL | Qt::Key_C), QKeySequence(Qt::CTRL | Qt::Key_Insert)}},
      {kCmdPaste, {QKeySequence(Qt::CTRL | Qt::Key_V), QKeySequence(Qt::SHIFT | Qt::Key_Insert)}},
      {kCmdNextPane, {QKeySequence(Qt::Key_F6)}},
      {kCmdPreviousPane, {QKeySequence(Qt::SHIFT | Qt::Key_F6)}},
  };
  for (const auto& command : kUnhandled) {
    QAction* action = AddCommand(command.id, QString());
    action->setShortcuts(command.keys);
    action->setEnabled(false);
    addAction(action);
  }
}

void CMainFrame::FollowFileList(bool visible) {
  for (int id : {kCmdSelectFilesCommand, kCmdRemoveFilesCommand, kCmdRepair}) {
    Command(id)->setEnabled(visible);
  }
}

// ---------------------------------------------------------------------------------------------

void CMainFrame::ApplyLook(int id) {
  QApplication::setOverrideCursor(Qt::WaitCursor);
  m_look = id;
  const int look = EffectiveLook(
      id, m_looks->checkedAction() ? m_looks->checkedAction()->data().toInt() : kDefaultLook);
  ApplyLookToApplication(look);
  if (QAction* item = Command(look)) item->setChecked(true);
  update();
  for (QWidget* child : findChildren<QWidget*>()) child->update();
  WorkspaceSettings()->setValue(kLookKey, id);
  QApplication::restoreOverrideCursor();
}

QStringList CMainFrame::HelpCandidates() const {
  const QString program_folder = WithSeparator(QCoreApplication::applicationDirPath());
  const QString data_folder =
      WithSeparator(QDir::cleanPath(program_folder + QStringLiteral(VELLOMIR_DATA_FROM_BIN)));
  QStringList candidates;
  for (const QString& folder : {m_startupFolder, program_folder, data_folder}) {
    candidates.append(folder + Q(kHelpFileName));
    candidates.append(folder + Q(kHelpGuideName));
  }
  candidates.removeDuplicates();
  return candidates;
}

void CMainFrame::OpenHelpFile() {
  for (const QString& candidate : HelpCandidates()) {
    if (QFileInfo::exists(candidate)) {
      Ui().OpenUrl(QUrl::fromLocalFile(candidate));
      return;
    }
  }
  Ui().Tell(this, Q(kHelpMissing));
}

void CMainFrame::OpenHomePage() {
  Ui().OpenUrl(QUrl(HomePage()));
}

bool CMainFrame::ConfirmClose() {
  if (QueryRunActive(m_view) != 0) {
    Ui().Tell(this, Q(kStopCurrentProcess));
    return false;
  }
  if (Ui().Ask(this, Q(kCloseQuestion)) != Answer::kYes) return false;
  OpenHomePage();
  SaveWindowState();
  return true;
}

void CMainFrame::closeEvent(QCloseEvent* event) {
  if (ConfirmClose()) {
    event->accept();
  } else {
    event->ignore();
  }
}

bool CMainFrame::event(QEvent* event) {
  // The message pane shows "Ready" whenever no prompt is shown.
  if (event->type() == QEvent::StatusTip && static_cast<QStatusTipEvent*>(event)->tip().isEmpty()) {
    statusBar()->showMessage(QStringLiteral("Ready"));
    return true;
  }
  return QMainWindow::event(event);
}

void CMainFrame::SaveWindowState() {
  WorkspaceSettings settings;
  settings->setValue(kGeometryKey, saveGeometry());
  settings->setValue(kStateKey, saveState(kStateVersion));
  // The saved state holds the toolbars; the status bar is kept beside it.
  settings->setValue(kStatusBarKey, !statusBar()->isHidden());
}

void CMainFrame::RestoreWindowState() {
  WorkspaceSettings settings;
  restoreGeometry(settings->value(kGeometryKey).toByteArray());
  restoreState(settings->value(kStateKey).toByteArray(), kStateVersion);
  Command(kCmdStatusBar)->setChecked(settings->value(kStatusBarKey, true).toBool());
}

void CMainFrame::SetHiddenToolbarCommands(const QList<int>& hidden) {
  m_hiddenToolbarCommands = hidden;
  QVariantList stored;
  for (int id : hidden) stored.append(id);
  WorkspaceSettings()->setValue(kHiddenButtonsKey, stored);
  FillToolbar();
}

void CMainFrame::Customize() {
  CCustomizeDialog dialog(*this, this);
  if (Ui().RunDialog(dialog) == QDialog::Accepted) SetHiddenToolbarCommands(dialog.Hidden());
}

void CMainFrame::PrintView() {
  QPrinter printer(QPrinter::HighResolution);
  if (!Ui().ChoosePrinter(this, printer)) return;
  QPainter painter;
  if (!painter.begin(&printer)) return;
  // The view's drawing, scaled to fit the page and keeping its proportions.
  const QSize client = m_view->size();
  const QRect page = painter.viewport();
  const qreal scale = qMin(qreal(page.width()) / qMax(1, client.width()),
                           qreal(page.height()) / qMax(1, client.height()));
  painter.scale(scale, scale);
  CVellomirView::Draw(painter, client);
}

// ---------------------------------------------------------------------------------------------

CCustomizeDialog::CCustomizeDialog(const CMainFrame& frame, QWidget* parent) : QDialog(parent) {
  setWindowTitle(QStringLiteral("Customize"));
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(new QLabel(QStringLiteral("Buttons shown on the toolbar \"Standard\":")));
  for (int id : kToolbarCommands) {
    QAction* command = frame.Command(id);
    auto* choice = new QCheckBox(command->toolTip(), this);
    choice->setIcon(command->icon());
    choice->setChecked(!frame.HiddenToolbarCommands().contains(id));
    layout->addWidget(choice);
    m_choices.insert(id, choice);
  }
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
  connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
  layout->addWidget(buttons);
}

QList<int> CCustomizeDialog::Hidden() const {
  QList<int> hidden;
  for (auto choice = m_choices.cbegin(); choice != m_choices.cend(); ++choice) {
    if (!choice.value()->isChecked()) hidden.append(choice.key());
  }
  return hidden;
}

}  // namespace vellomir
