// The main view: the whole working surface of the window. It shows one of three pages:
//   FileListPage  the file list with Select Files, Remove Files and Next;
//   RunningPage   the log pane while a repair runs, with Stop;
//   FinishedPage  the log pane after the run, with Back and Exit;
// and the status pane with instructions below them all. Next starts a repair run on a worker
// thread; the view is that run's RepairRunView and carries every call of the worker over to the
// user-interface thread, which owns all controls.
//
// Usage:
//   auto* view = new CVellomirView(frame);
//   frame->setCentralWidget(view);
//   if (QueryRunActive(view) != 0) ...   // a run is active
#ifndef VELLOMIR_SHELL_VELLOMIR_VIEW_H_
#define VELLOMIR_SHELL_VELLOMIR_VIEW_H_

#include <QEvent>
#include <QIcon>
#include <QList>
#include <QMap>
#include <QString>
#include <QWidget>
#include <atomic>
#include <functional>
#include <memory>
#include <type_traits>
#include <vector>

#include "engine/repair_engine.h"
#include "shell/run_thread.h"

class QAbstractButton;
class QLineEdit;
class QTableWidget;
class QThread;

namespace vellomir {

class CRepairLogPane;
class CRichEditCtrlQv;

// The view's command identifiers (its buttons).
enum ViewCommand : int {
  kCmdNext = 59394,
  kCmdSelectFiles = 59395,
  kCmdRemoveFiles = 59396,
  kCmdBack = 59397,
  kCmdStop = 59398,
  kCmdExit = 59399,
};

// The run-active query: the frame sends it before it lets the window close, and the view answers
// with the current-run thread reference, non-zero while a run is active.
inline constexpr QEvent::Type WM_RUNACTIVE = static_cast<QEvent::Type>(1124);

class RunActiveQuery : public QEvent {
 public:
  RunActiveQuery() : QEvent(WM_RUNACTIVE) {}
  quintptr answer = 0;
};

// Sends WM_RUNACTIVE to `view` synchronously and returns its answer.
quintptr QueryRunActive(QObject* view);

// One step of the view's painting: a bitmap drawn into `target` (stretched when the target's size
// differs from the bitmap's), or with bitmap 0 the body filled with its colour.
struct PaintStep {
  int bitmap;
  QRect target;
  bool operator==(const PaintStep& other) const {
    return bitmap == other.bitmap && target == other.target;
  }
};

// Names the file system a path lies on ("ext4", "nfs4", "iso9660", ...), empty when unknown.
using FileSystemTypeProbe = std::function<QString(const QString& path)>;
bool IsNetworkFileSystem(const QString& type);
bool IsOpticalDiscFileSystem(const QString& type);

// The icon of a file type by the file's name only, never opening the file.
class CUseShGetFileInfo {
 public:
  // The icons handed out so far; IconIndexOf indexes this list.
  static const QList<QIcon>& SystemImageList();
  static int IconIndexOf(const QString& path);
};

class CVellomirView : public QWidget, public RepairRunView {
  Q_OBJECT

 public:
  explicit CVellomirView(QWidget* parent = nullptr);
  // A run still active when the view goes (the window is being torn down) is asked to stop; the
  // view serves its last calls without dialogs and then lets it end.
  ~CVellomirView() override;

  // The file-list commands and the start of a run.
  void OnSelectFiles();
  void OnRemoveFiles();
  void OnNext();
  // Asks for the output folder and leaves it in the folder field; also returns it (empty when
  // nothing usable was chosen).
  QString BrowseOutputFolder();
  // The page commands.
  void OnBack();
  void OnStop();
  void OnExit();

  bool IsFileListVisible() const;
  // The current-run thread reference, process-wide: non-zero while a run is active.
  static quintptr CurrentRunThread();

  QTableWidget* FileList() const { return m_fileList; }
  CRichEditCtrlQv* StatusPane() const { return m_statusPane; }
  CRepairLogPane* LogPane() const { return m_logPane; }
  QLineEdit* FolderField() const { return m_folderField; }
  QAbstractButton* Button(int command) const { return m_buttons.value(command); }
  const platform::Path& OutputFolderPath() const { return m_outputFolder; }

  // Where every control goes for a client area of `client` (the table of the layout).
  static QMap<int, QRect> LayoutFor(QSize client);
  // The painting of a client area of `client`, in its order.
  static std::vector<PaintStep> PaintPlan(QSize client);
  // Paints the view's background as the window shows it (also for printing).
  static void Draw(QPainter& painter, QSize client);

  void SetFileSystemTypeProbe(FileSystemTypeProbe probe) { m_fileSystemType = std::move(probe); }

  // RepairRunView, called by the worker thread.
  int ItemCount() override;
  platform::Path ItemText(int index) override;
  platform::Path OutputFolder() override { return m_outputFolder; }
  std::atomic<bool>& StopRequested() override { return m_stopRequested; }
  void SetStatusText(const std::u16string& text) override;
  void ToggleStatusBold(BoldRange range) override;
  RepairLog& Log() override;
  void ShowButton(ViewButton button, bool visible) override;
  void ShowCompletionDialog(const platform::Path& output_folder, int failed, int count) override;
  void ShowMessage(const std::u16string& text) override;
  void ClearRunThread() override;

  // Control identifiers of the non-button controls, for LayoutFor.
  enum ControlId : int { kStatusPane = 1, kFileList = 2, kLogPane = 3 };

 signals:
  // The file list was shown or hidden: the frame's file-list commands follow it.
  void FileListVisibilityChanged(bool visible);

 protected:
  bool event(QEvent* event) override;
  void paintEvent(QPaintEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;

 private:
  class CrossThreadLog;

  QAbstractButton* CreateButton(int command, const QString& caption, int image, bool semi_flat,
                                bool visible);
  void FitButtonCaptions();
  void ShowFileListPage();
  void ShowRunningPage();
  void ShowInstruction();
  void SetShown(std::initializer_list<QWidget*> widgets, bool shown);
  void AddFileRow(const QString& path);
  bool IsNetworkPath(const QString& path) const;
  void StartRun();

  // Runs `work` on the user-interface thread and returns its result. The worker passes the stop
  // gate first, then waits until the call has been carried out.
  template <typename Work>
  std::invoke_result_t<Work&> OnUiThread(Work&& work);

  QTableWidget* m_fileList = nullptr;
  CRepairLogPane* m_logPane = nullptr;
  platform::Path m_outputFolder;
  QLineEdit* m_folderField = nullptr;
  QMap<int, QAbstractButton*> m_buttons;
  std::atomic<bool> m_stopRequested{false};
  // The person confirmed Stop during the current run (or the view is going away).
  std::atomic<bool> m_stopConfirmed{false};
  CRichEditCtrlQv* m_statusPane = nullptr;

  std::unique_ptr<CrossThreadLog> m_runLog;
  CRunGate m_gate;
  std::unique_ptr<CRunThread> m_runThread;
  // The run this view started last; written before its worker starts.
  CRunThread* m_activeRun = nullptr;
  // Set while the view is being destroyed: the run's last dialogs are not shown then.
  std::atomic<bool> m_closing{false};
  FileSystemTypeProbe m_fileSystemType;
};

}  // namespace vellomir

#endif  // VELLOMIR_SHELL_VELLOMIR_VIEW_H_
