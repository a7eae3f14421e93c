#include "shell/dialogs.h"

#include <QApplication>
#include <QFontMetrics>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QPushButton>
#include <QShowEvent>
#include <QStyle>
#include <QStyleOptionFocusRect>

#include "engine/repair_engine.h"
#include "shell/artwork.h"
#include "shell/shell_texts.h"
#include "shell/ui_seam.h"

namespace vellomir {
namespace {

// Where the completion link goes when the dialog opens, in pixels: left 7, top 25, right 502,
// bottom 100.
const QRect kLinkArea(7, 25, 495, 75);

// The maker's details in the about box. The maker is invented; every address lies in the
// reserved example.org domain.
constexpr char kOwnershipNotice[] = "Copyright (c) 2025 Example Works";
constexpr char kMakerWebAddress[] = "https://works.example.org/";
constexpr char kSalesAddress[] = "Sales: sales@example.org";
constexpr char kSupportAddress[] = "Support: support@example.org";

void SetButtonPlace(QPushButton* button, const QRect& place) {
  button->setGeometry(place);
  button->setAutoDefault(true);
  button->setDefault(true);
}

bool IsLinkButton(Qt::MouseButton button) {
  return button == Qt::LeftButton || button == Qt::RightButton;
}

}  // namespace

// ---------------------------------------------------------------------------------------------

DialogUnits::DialogUnits(const QFont& font) {
  const QFontMetrics metrics(font);
  const int alphabet = metrics.horizontalAdvance(
      QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
  base_x_ = qMax(1, (alphabet / 26 + 1) / 2);
  base_y_ = qMax(1, metrics.height());
}

int DialogUnits::X(int units) const {
  return (units * base_x_ + 2) / 4;
}

int DialogUnits::Y(int units) const {
  return (units * base_y_ + 4) / 8;
}

QRect DialogUnits::Rect(int x, int y, int width, int height) const {
  return QRect(X(x), Y(y), X(width), Y(height));
}

QSize DialogUnits::Size(int width, int height) const {
  return QSize(X(width), Y(height));
}

// ---------------------------------------------------------------------------------------------

CMyStatic::CMyStatic(QWidget* parent) : QLabel(parent) {
  setMouseTracking(true);
  setTextFormat(Qt::PlainText);
  setCursor(Qt::PointingHandCursor);
}

void CMyStatic::mouseMoveEvent(QMouseEvent* event) {
  setCursor(Qt::PointingHandCursor);
  QLabel::mouseMoveEvent(event);
}

void CMyStatic::mouseReleaseEvent(QMouseEvent* event) {
  // Only a release over the control counts, as it does for a click.
  if (IsLinkButton(event->button()) && rect().contains(event->position().toPoint())) {
    emit Released(event->button());
  }
  QLabel::mouseReleaseEvent(event);
}

CLinkCtrl::CLinkCtrl(QWidget* parent) : CMyStatic(parent) {
  setFocusPolicy(Qt::StrongFocus);
  QFont underlined = font();
  underlined.setUnderline(true);
  setFont(underlined);
  QPalette colours = palette();
  colours.setColor(QPalette::WindowText, colours.color(QPalette::Link));
  setPalette(colours);
}

void CLinkCtrl::keyPressEvent(QKeyEvent* event) {
  const int key = event->key();
  if (key == Qt::Key_Space || key == Qt::Key_Return || key == Qt::Key_Enter) {
    Ui().OpenUrl(m_target);
    return;
  }
  CMyStatic::keyPressEvent(event);
}

QSize CLinkCtrl::SizeWithin(int width) const {
  return fontMetrics()
      .boundingRect(QRect(0, 0, width, kLinkArea.height() * 4),
                    Qt::AlignLeft | Qt::AlignTop | Qt::TextWrapAnywhere, text())
      .size();
}

void CLinkCtrl::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.setFont(font());
  painter.setPen(palette().color(QPalette::WindowText));
  painter.drawText(rect(), Qt::AlignLeft | Qt::AlignTop | Qt::TextWrapAnywhere, text());
  if (hasFocus()) {
    QStyleOptionFocusRect focus;
    focus.initFrom(this);
    style()->drawPrimitive(QStyle::PE_FrameFocusRect, &focus, &painter, this);
  }
}

// ---------------------------------------------------------------------------------------------

CCustomMessage::CCustomMessage(QWidget* parent) : QDialog(parent) {
  setWindowTitle(Q(kAppTitle));
  const DialogUnits units(font());
  setFixedSize(units.Size(299, 90));

  m_message = new QLabel(Q(kCompletionMessage), this);
  m_message->setTextFormat(Qt::PlainText);
  m_message->setGeometry(units.Rect(7, 7, 285, 13));
  m_message->setAlignment(Qt::AlignLeft | Qt::AlignTop);

  m_placeholder = new QLabel(QStringLiteral("Static"), this);
  m_placeholder->setObjectName(QStringLiteral("1002"));
  m_placeholder->setGeometry(units.Rect(7, 20, 229, 31));

  m_link = new CLinkCtrl(this);
  m_link->setObjectName(QStringLiteral("100"));
  m_link->hide();
  connect(m_link, &CMyStatic::Released, this, &CCustomMessage::OpenFolder);

  m_ok = new QPushButton(QStringLiteral("OK"), this);
  SetButtonPlace(m_ok, units.Rect(123, 69, 50, 14));
  connect(m_ok, &QPushButton::clicked, this, &QDialog::accept);
}

void CCustomMessage::SetFolderPath(const QString& folder) {
  m_folderPath = folder;
}

void CCustomMessage::SetOutcome(int failed, int count) {
  const QString text =
      failed > 0 ? Q(CompletionErrorMessage(failed, count)) : Q(kCompletionMessage);
  m_message->setText(text);
  // A longer text takes a second line rather than being cut off at the right edge.
  m_message->setWordWrap(failed > 0);
  m_message->resize(m_message->width(),
                    qMax(m_message->height(), m_message->heightForWidth(m_message->width())));
}

QString CCustomMessage::MessageText() const {
  return m_message->text();
}

QString CCustomMessage::LinkText(const QString& folder) {
  qsizetype shown = qMin<qsizetype>(folder.size(), kShownPathLength);
  // Never cut a character that takes two 16-bit units in half.
  if (shown > 0 && shown < folder.size() && folder.at(shown - 1).isHighSurrogate()) --shown;
  return folder.left(shown) + QStringLiteral("...");
}

void CCustomMessage::showEvent(QShowEvent* event) {
  if (!m_linkPlaced) PlaceLink();
  QDialog::showEvent(event);
}

void CCustomMessage::PlaceLink() {
  m_link->setGeometry(kLinkArea);
  m_placeholder->hide();
  m_link->SetTarget(QUrl::fromLocalFile(m_folderPath));
  m_link->setText(LinkText(m_folderPath));
  m_link->setToolTip(m_folderPath);
  // Sized to its text, centred vertically in its area; a text wider than the dialog takes more
  // lines rather than being cut off at the dialog's edge.
  const int room = qMin(kLinkArea.width(), width() - 2 * kLinkArea.left());
  const QSize text = m_link->SizeWithin(room);
  const int height = qMin(text.height(), kLinkArea.height());
  m_link->setGeometry(kLinkArea.left(), kLinkArea.top() + (kLinkArea.height() - height) / 2,
                      text.width(), height);
  m_link->show();
  m_linkPlaced = true;
}

void CCustomMessage::resizeEvent(QResizeEvent* event) {
  // The frame is fixed; should the size change all the same, the link takes the dialog's width.
  if (m_linkPlaced && event->oldSize().isValid() && event->oldSize() != event->size()) {
    m_link->setGeometry(7, 25, width() - 14, 75);
  }
  QDialog::resizeEvent(event);
}

void CCustomMessage::OpenFolder() {
  Ui().OpenUrl(QUrl::fromLocalFile(m_folderPath));
}

// ---------------------------------------------------------------------------------------------

CAboutDlg::CAboutDlg(QWidget* parent) : QDialog(parent) {
  setWindowTitle(Q(kAboutCaption));
  QPalette colours = palette();
  for (QPalette::ColorRole role : {QPalette::WindowText, QPalette::ButtonText, QPalette::Text}) {
    colours.setColor(role, QColor(0, 0, 255));
  }
  for (QPalette::ColorRole role : {QPalette::Window, QPalette::Button, QPalette::Base}) {
    colours.setColor(role, Qt::white);
  }
  setPalette(colours);
  setAutoFillBackground(true);

  const DialogUnits units(font());
  setFixedSize(units.Size(243, 196));

  auto* banner = new QLabel(this);
  banner->setGeometry(units.Rect(0, 0, 243, 40));
  banner->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  banner->setPixmap(
      AboutBanner().scaledToWidth(qMin(472, banner->width()), Qt::SmoothTransformation));

  auto* icon = new QLabel(this);
  icon->setGeometry(units.Rect(114, 50, 20, 20));
  icon->setAlignment(Qt::AlignCenter);
  icon->setPixmap(ApplicationIcon().pixmap(32, 32));

  m_text = new CMyStatic(this);
  m_text->setObjectName(QStringLiteral("1003"));
  m_text->setGeometry(units.Rect(42, 88, 169, 85));
  m_text->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
  m_text->setWordWrap(true);
  m_text->setText(DisplayLines(AboutText()));
  connect(m_text, &CMyStatic::Released, this, [] { Ui().OpenUrl(QUrl(HomePage())); });

  auto* ok = new QPushButton(QStringLiteral("OK"), this);
  SetButtonPlace(ok, units.Rect(97, 175, 50, 14));
  connect(ok, &QPushButton::clicked, this, &QDialog::accept);
}

QString CAboutDlg::AboutText() {
  const QStringList lines = {
      QStringLiteral("Vellomir ver ") + DisplayVersion() + u' ',
      QString(),
      QString::fromLatin1(kOwnershipNotice),
      QString(),
      QString::fromLatin1(kMakerWebAddress),
      HomePage(),
      QString(),
      QString::fromLatin1(kSalesAddress),
      QString(),
      QString::fromLatin1(kSupportAddress),
  };
  return lines.join(QStringLiteral("\r\n"));
}

void ShowAboutBox(QWidget* parent) {
  CAboutDlg about(parent);
  Ui().RunDialog(about);
}

}  // namespace vellomir
