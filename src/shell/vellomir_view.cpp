// The main view's window: controls, pages, layout, painting, the page commands and the run's
// view operations carried over to the user-interface thread.
#include "shell/vellomir_view.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QHeaderView>
#include <QLineEdit>
#include <QPainter>
#include <QResizeEvent>
#include <QStorageInfo>
#include <QStyleOptionToolButton>
#include <QStylePainter>
#include <QTableWidget>
#include <QThread>
#include <QTimer>
#include <QToolButton>

#include "shell/artwork.h"
#include "shell/dialogs.h"
#include "shell/log_pane.h"
#include "shell/rich_edit.h"
#include "shell/shell_texts.h"
#include "shell/ui_seam.h"

namespace vellomir {
namespace {

// The process-wide current-run thread reference: set when a run starts, cleared by its worker at
// its very end.
std::atomic<CRunThread*> g_currentRunThread{nullptr};

const QColor kBodyColour(255, 255, 240);
constexpr int kFileColumnWidth = 1000;
constexpr int kButtonImageSize = 24;
constexpr int kCaptionInset = 3;
constexpr int kCaptionGap = 2;
constexpr qreal kSmallestCaptionPoints = 7;
constexpr int kHeaderHeight = 71;
constexpr int kHeaderNameWidth = 183;  // where the header's filler and narrow logo begin
constexpr int kLogoWidth = 173;

// The bold words of the instruction: " Select Files" and " Next".
constexpr BoldRange kInstructionBold[] = {{6, 18}, {72, 76}};

QString FileSystemTypeOf(const QString& path) {
  const QStorageInfo storage(path);
  return storage.isValid() ? QString::fromUtf8(storage.fileSystemType()).toLower() : QString();
}

// A button with its image at the left and its caption right beside it, with narrower insets
// than the styles give a tool button, so that the captions fit the view's fixed button places.
class CImageButton : public QToolButton {
 public:
  using QToolButton::QToolButton;

  // Whether the caption fits beside the image in a button `width` pixels wide.
  static bool CaptionFits(const QAbstractButton& button, const QFont& font, int width) {
    const int image = button.icon().isNull() ? 0 : kButtonImageSize + kCaptionGap;
    return 2 * kCaptionInset + image + QFontMetrics(font).horizontalAdvance(button.text()) <= width;
  }

 protected:
  void paintEvent(QPaintEvent*) override {
    QStylePainter painter(this);
    QStyleOptionToolButton panel;
    initStyleOption(&panel);
    panel.text.clear();
    panel.icon = QIcon();
    painter.drawComplexControl(QStyle::CC_ToolButton, panel);

    QRect content = rect().adjusted(kCaptionInset, 0, -kCaptionInset, 0);
    if (isDown()) content.translate(1, 1);
    int alignment = Qt::AlignCenter;
    if (!icon().isNull()) {
      const QRect image(content.left(), content.top() + (content.height() - kButtonImageSize) / 2,
                        kButtonImageSize, kButtonImageSize);
      icon().paint(&painter, image, Qt::AlignCenter, isEnabled() ? QIcon::Normal : QIcon::Disabled);
      content.setLeft(image.right() + 1 + kCaptionGap);
      alignment = Qt::AlignLeft | Qt::AlignVCenter;
    }
    painter.setPen(
        palette().color(isEnabled() ? QPalette::Active : QPalette::Disabled, QPalette::ButtonText));
    painter.drawText(content, alignment,
                     fontMetrics().elidedText(text(), Qt::ElideRight, content.width()));
  }
};

}  // namespace

quintptr QueryRunActive(QObject* view) {
  RunActiveQuery query;
  QCoreApplication::sendEvent(view, &query);
  return query.answer;
}

// The log pane as the worker sees it: every call is carried out on the user-interface thread,
// except the scroll request, which is posted.
class CVellomirView::CrossThreadLog : public RepairLog {
 public:
  explicit CrossThreadLog(CVellomirView& view) : view_(view) {}

  std::u16string Text() override {
    return view_.OnUiThread([this] { return view_.m_logPane->Text(); });
  }
  void SetText(const std::u16string& text) override {
    view_.OnUiThread([&] { view_.m_logPane->SetText(text); });
  }
  void Append(std::u16string_view text) override {
    view_.OnUiThread([&] { view_.m_logPane->Append(text); });
  }
  void RequestScrollToBottom() override { view_.m_logPane->RequestScrollToBottom(); }

 private:
  CVellomirView& view_;
};

template <typename Work>
std::invoke_result_t<Work&> CVellomirView::OnUiThread(Work&& work) {
  using Result = std::invoke_result_t<Work&>;
  if (QThread::currentThread() == thread()) return work();
  // A worker held by the stop question waits here, before its call, holding no lock.
  m_gate.Pass();
  // The run clears the stop request once, as it begins; a stop confirmed before that moment is
  // renewed at every later call, so it still takes effect before the next file.
  if (m_stopConfirmed.load()) m_stopRequested.store(true);
  // The call is posted and the worker waits until the posted call object is gone: after it has
  // run, or when Qt drops it unrun because the view is going away. The wait is on standard
  // primitives, so thread checkers can follow it.
  struct SignalWhenGone {
    std::shared_ptr<CCompletion> completion = std::make_shared<CCompletion>();
    ~SignalWhenGone() { completion->Signal(); }
  };
  auto token = std::make_shared<SignalWhenGone>();
  const std::shared_ptr<CCompletion> completion = token->completion;
  if constexpr (std::is_void_v<Result>) {
    QMetaObject::invokeMethod(
        this, [&work, token] { work(); }, Qt::QueuedConnection);
    token.reset();
    completion->Wait();
  } else {
    Result result{};
    QMetaObject::invokeMethod(
        this, [&work, &result, token] { result = work(); }, Qt::QueuedConnection);
    token.reset();
    completion->Wait();
    return result;
  }
}

CVellomirView::CVellomirView(QWidget* parent)
    : QWidget(parent), m_runLog(std::make_unique<CrossThreadLog>(*this)) {
  // The painting covers the whole client area, so no separate erase is needed.
  setAttribute(Qt::WA_OpaquePaintEvent);
  m_fileSystemType = FileSystemTypeOf;

  m_statusPane = new CRichEditCtrlQv(this);

  // Carries the chosen output folder from the folder browser to Next; never laid out.
  m_folderField = new QLineEdit(this);
  m_folderField->setGeometry(0, 0, 0, 0);

  m_logPane = new CRepairLogPane(this);
  m_logPane->hide();

  m_fileList = new QTableWidget(0, 1, this);
  m_fileList->setHorizontalHeaderLabels({QStringLiteral("File Name")});
  m_fileList->horizontalHeaderItem(0)->setTextAlignment(Qt::AlignLeft | Qt::AlignVCenter);
  m_fileList->horizontalHeader()->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
  m_fileList->setColumnWidth(0, kFileColumnWidth);
  m_fileList->horizontalHeader()->setStretchLastSection(false);
  m_fileList->verticalHeader()->hide();
  m_fileList->setShowGrid(true);
  m_fileList->setSelectionBehavior(QAbstractItemView::SelectRows);
  m_fileList->setSelectionMode(QAbstractItemView::ExtendedSelection);
  m_fileList->setEditTriggers(QAbstractItemView::NoEditTriggers);
  m_fileList->setSortingEnabled(false);
  m_fileList->setWordWrap(false);
  m_fileList->setIconSize(QSize(16, 16));
  m_fileList->verticalHeader()->setDefaultSectionSize(
      qMax(18, m_fileList->fontMetrics().height() + 4));

  CreateButton(kCmdNext, QStringLiteral("Next"), kImageNext, /*semi_flat=*/true, true);
  CreateButton(kCmdBack, QStringLiteral("Back"), kImageBack, false, false);
  CreateButton(kCmdStop, QStringLiteral("Stop"), 0, false, false);
  CreateButton(kCmdExit, QStringLiteral("Exit"), kImageExit, false, false);
  CreateButton(kCmdSelectFiles, QStringLiteral("Select Files"), kImageAdd, true, true);
  CreateButton(kCmdRemoveFiles, QStringLiteral("Remove Files"), kImageRemove, true, true);
  connect(Button(kCmdNext), &QAbstractButton::clicked, this, &CVellomirView::OnNext);
  connect(Button(kCmdBack), &QAbstractButton::clicked, this, &CVellomirView::OnBack);
  connect(Button(kCmdStop), &QAbstractButton::clicked, this, &CVellomirView::OnStop);
  connect(Button(kCmdExit), &QAbstractButton::clicked, this, &CVellomirView::OnExit);
  connect(Button(kCmdSelectFiles), &QAbstractButton::clicked, this, &CVellomirView::OnSelectFiles);
  connect(Button(kCmdRemoveFiles), &QAbstractButton::clicked, this, &CVellomirView::OnRemoveFiles);

  FitButtonCaptions();
  m_statusPane->setFont(m_fileList->font());
  m_logPane->setFont(m_fileList->font());
  ShowInstruction();
}

CVellomirView::~CVellomirView() {
  if (m_runThread && !m_runThread->Finished()) {
    m_closing.store(true);
    m_stopConfirmed.store(true);
    m_stopRequested.store(true);
    m_gate.OpenAll();
    // The worker still needs its calls served; the controls are all alive here.
    while (!m_runThread->Finished()) {
      QEventLoop loop;
      QTimer::singleShot(5, &loop, &QEventLoop::quit);
      loop.exec();
    }
  }
  m_runThread.reset();
}

QAbstractButton* CVellomirView::CreateButton(int command, const QString& caption, int image,
                                             bool semi_flat, bool visible) {
  auto* button = new CImageButton(this);
  button->setText(caption);
  button->setObjectName(caption);
  button->setProperty("commandId", command);
  button->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
  button->setIconSize(QSize(kButtonImageSize, kButtonImageSize));
  if (image != 0) button->setIcon(ButtonImage(image));
  // Semi-flat: drawn flat until the pointer is over it.
  button->setAutoRaise(semi_flat);
  button->setVisible(visible);
  m_buttons.insert(command, button);
  return button;
}

void CVellomirView::FitButtonCaptions() {
  // The buttons have fixed places; with a large desktop font their captions would be cut short.
  // All six take the widest and largest face of the view's font at which every caption fits:
  // first the font itself, then its semi-condensed face, then each a half point smaller.
  // The buttons' widths do not depend on the size of the client area.
  const QMap<int, QRect> places = LayoutFor(QSize(1000, 1000));
  auto fits = [&](const QFont& font) {
    for (auto button = m_buttons.cbegin(); button != m_buttons.cend(); ++button) {
      if (!CImageButton::CaptionFits(**button, font, places[button.key()].width())) return false;
    }
    return true;
  };
  QFont font = this->font();
  for (qreal points = font.pointSizeF(); points >= kSmallestCaptionPoints; points -= 0.5) {
    font.setPointSizeF(points);
    font.setStretch(QFont::Unstretched);
    if (fits(font)) break;
    font.setStretch(QFont::SemiCondensed);
    if (fits(font)) break;
  }
  for (QAbstractButton* button : std::as_const(m_buttons)) button->setFont(font);
}

// ---------------------------------------------------------------------------------------------
// Pages

void CVellomirView::SetShown(std::initializer_list<QWidget*> widgets, bool shown) {
  for (QWidget* widget : widgets) widget->setVisible(shown);
}

void CVellomirView::ShowInstruction() {
  m_statusPane->SetText(Q(kInstructionText));
  for (const BoldRange& range : kInstructionBold) {
    m_statusPane->SelectCharacters(range.first, range.last);
    m_statusPane->ToggleSelectionBold();
  }
}

void CVellomirView::ShowFileListPage() {
  SetShown({Button(kCmdStop)}, false);
  SetShown({Button(kCmdNext)}, true);
  SetShown({Button(kCmdBack), Button(kCmdExit)}, false);
  SetShown({m_fileList, Button(kCmdSelectFiles), Button(kCmdRemoveFiles)}, true);
  SetShown({m_logPane}, false);
  ShowInstruction();
  emit FileListVisibilityChanged(true);
}

void CVellomirView::ShowRunningPage() {
  SetShown({Button(kCmdStop)}, true);
  SetShown({Button(kCmdNext), Button(kCmdBack), Button(kCmdExit)}, false);
  SetShown({m_fileList, Button(kCmdSelectFiles), Button(kCmdRemoveFiles)}, false);
  SetShown({m_logPane}, true);
  m_statusPane->SetText(Q(kRunningText));
  emit FileListVisibilityChanged(false);
}

bool CVellomirView::IsFileListVisible() const {
  return !m_fileList->isHidden();
}

void CVellomirView::OnBack() {
  ShowFileListPage();
}

void CVellomirView::OnStop() {
  if (g_currentRunThread.load() == nullptr) return;
  // The worker's thread object belongs to this view and is replaced only by the next Next, so it
  // stays valid while the question is open, even if the run ends meanwhile.
  m_gate.Close();
  if (Ui().Ask(this, Q(kStopQuestion)) == Answer::kYes) {
    Button(kCmdStop)->hide();
    m_stopConfirmed.store(true);
    m_stopRequested.store(true);
  }
  m_gate.Open();
}

void CVellomirView::OnExit() {
  QMetaObject::invokeMethod(window(), &QWidget::close, Qt::QueuedConnection);
}

quintptr CVellomirView::CurrentRunThread() {
  return reinterpret_cast<quintptr>(g_currentRunThread.load());
}

bool CVellomirView::event(QEvent* event) {
  if (event->type() == WM_RUNACTIVE) {
    static_cast<RunActiveQuery*>(event)->answer = CurrentRunThread();
    return true;
  }
  return QWidget::event(event);
}

// ---------------------------------------------------------------------------------------------
// Layout and painting

QMap<int, QRect> CVellomirView::LayoutFor(QSize client) {
  const int cx = client.width();
  const int cy = client.height();
  // A client area too small for a control gives it no size rather than a negative one.
  auto rect = [](int left, int top, int width, int height) {
    return QRect(left, top, qMax(0, width), qMax(0, height));
  };
  const QRect command_place = rect(cx - 100, cy - 40, 80, 30);
  return {
      {kStatusPane, rect(75, cy - 50, cx - 275, 45)},
      {kFileList, rect(20, 130, cx - 40, cy - 200)},
      {kLogPane, rect(20, 130, cx - 40, cy - 220)},
      {kCmdNext, command_place},
      {kCmdBack, command_place},
      {kCmdStop, command_place},
      {kCmdExit, rect(cx - 200, cy - 40, 80, 30)},
      {kCmdSelectFiles, rect(20, 95, 100, 30)},
      {kCmdRemoveFiles, rect(140, 95, 100, 30)},
  };
}

void CVellomirView::resizeEvent(QResizeEvent* event) {
  const QMap<int, QRect> layout = LayoutFor(event->size());
  m_statusPane->setGeometry(layout[kStatusPane]);
  m_fileList->setGeometry(layout[kFileList]);
  m_logPane->setGeometry(layout[kLogPane]);
  for (auto button = m_buttons.cbegin(); button != m_buttons.cend(); ++button) {
    button.value()->setGeometry(layout[button.key()]);
  }
  QWidget::resizeEvent(event);
}

std::vector<PaintStep> CVellomirView::PaintPlan(QSize client) {
  const int cx = client.width();
  const int cy = client.height();
  auto at = [](int id, int x, int y) { return PaintStep{id, QRect(QPoint(x, y), BitmapSize(id))}; };
  std::vector<PaintStep> plan;
  plan.push_back(at(kBitmapHeaderName, 0, 0));
  if (cx - kLogoWidth > kHeaderNameWidth) {
    plan.push_back(at(kBitmapHeaderLogo, cx - kLogoWidth, 0));
    plan.push_back({kBitmapHeaderFiller,
                    QRect(kHeaderNameWidth, 0, cx - kLogoWidth - kHeaderNameWidth, kHeaderHeight)});
  } else {
    // Too narrow for the filler: the logo panel follows the name.
    plan.push_back(at(kBitmapHeaderLogo, kHeaderNameWidth, 0));
  }
  plan.push_back({0, QRect(0, kHeaderHeight, cx, cy - 50 - kHeaderHeight)});
  plan.push_back({kBitmapFooterFiller, QRect(0, cy - 60, cx, kHeaderHeight)});
  plan.push_back(at(kBitmapFooterHelp, 20, cy - 50));
  return plan;
}

void CVellomirView::Draw(QPainter& painter, QSize client) {
  for (const PaintStep& step : PaintPlan(client)) {
    if (step.bitmap == 0) {
      painter.fillRect(step.target, kBodyColour);
      continue;
    }
    // A bitmap that cannot be drawn is left out; the other steps go on.
    const QPixmap bitmap = Bitmap(step.bitmap);
    if (!bitmap.isNull()) painter.drawPixmap(step.target, bitmap);
  }
}

void CVellomirView::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  Draw(painter, size());
}

// ---------------------------------------------------------------------------------------------
// The run's view operations

void CVellomirView::StartRun() {
  // An earlier run's worker has ended by now (the list is shown only after its end); joining it
  // here waits at most for its last instructions.
  m_runThread.reset();
  m_stopConfirmed.store(false);
  m_runThread = std::make_unique<CRunThread>([this] { RepairThreadProc(*this); });
  m_activeRun = m_runThread.get();
  g_currentRunThread.store(m_activeRun);
  m_runThread->Start();
}

int CVellomirView::ItemCount() {
  return OnUiThread([this] { return m_fileList->rowCount(); });
}

platform::Path CVellomirView::ItemText(int index) {
  return OnUiThread([this, index] {
    const QTableWidgetItem* item = m_fileList->item(index, 0);
    return item ? item->text().toStdU16String() : platform::Path();
  });
}

void CVellomirView::SetStatusText(const std::u16string& text) {
  OnUiThread([&] { m_statusPane->SetText(Q(text)); });
}

void CVellomirView::ToggleStatusBold(BoldRange range) {
  OnUiThread([&] {
    m_statusPane->SelectCharacters(range.first, range.last);
    m_statusPane->ToggleSelectionBold();
  });
}

RepairLog& CVellomirView::Log() {
  return *m_runLog;
}

void CVellomirView::ShowButton(ViewButton button, bool visible) {
  int command = kCmdNext;
  switch (button) {
    case ViewButton::kNext:
      command = kCmdNext;
      break;
    case ViewButton::kBack:
      command = kCmdBack;
      break;
    case ViewButton::kStop:
      command = kCmdStop;
      break;
    case ViewButton::kExit:
      command = kCmdExit;
      break;
  }
  OnUiThread([&] { Button(command)->setVisible(visible); });
}

void CVellomirView::ShowCompletionDialog(const platform::Path& output_folder, int failed,
                                         int count) {
  OnUiThread([&] {
    if (m_closing.load()) return;
    CCustomMessage dialog(window());
    dialog.SetFolderPath(Q(output_folder));
    dialog.SetOutcome(failed, count);
    Ui().RunDialog(dialog);
  });
}

void CVellomirView::ShowMessage(const std::u16string& text) {
  OnUiThread([&] {
    if (!m_closing.load()) Ui().Tell(this, Q(text));
  });
}

void CVellomirView::ClearRunThread() {
  // Only this view's own run is cleared, never a newer one.
  CRunThread* own = m_activeRun;
  g_currentRunThread.compare_exchange_strong(own, nullptr);
}

}  // namespace vellomir
