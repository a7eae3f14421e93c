// The completion message that ends a run, the about box, and the small controls they use.
// Both dialogs are laid out in dialog units, converted to pixels through the dialog font's
// metrics, so they keep their proportions whatever the desktop's font.
//
// Usage:
//   CCustomMessage done(window);
//   done.SetFolderPath(u"/home/me/out/");
//   done.SetOutcome(failed, count);
//   Ui().RunDialog(done);
#ifndef VELLOMIR_SHELL_DIALOGS_H_
#define VELLOMIR_SHELL_DIALOGS_H_

#include <QDialog>
#include <QLabel>
#include <QString>
#include <QUrl>

class QPushButton;

namespace vellomir {

// Dialog units: a horizontal unit is a quarter of the font's average character width, a vertical
// unit an eighth of its height.
class DialogUnits {
 public:
  explicit DialogUnits(const QFont& font);
  int X(int units) const;
  int Y(int units) const;
  QRect Rect(int x, int y, int width, int height) const;
  QSize Size(int width, int height) const;

 private:
  int base_x_;
  int base_y_;
};

// A static text that shows the hand cursor while the pointer is over it and reports button
// releases over it.
class CMyStatic : public QLabel {
  Q_OBJECT

 public:
  explicit CMyStatic(QWidget* parent = nullptr);

 signals:
  void Released(Qt::MouseButton button);

 protected:
  void mouseMoveEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;
};

// A hyperlink: underlined blue text, hand cursor, a tool tip, and a target it opens when activated
// from the keyboard (Space or Enter). Pointer releases are reported to its dialog, which opens the
// target for them.
class CLinkCtrl : public CMyStatic {
  Q_OBJECT

 public:
  explicit CLinkCtrl(QWidget* parent = nullptr);
  void SetTarget(const QUrl& target) { m_target = target; }
  const QUrl& Target() const { return m_target; }
  // The size of the text when it may take at most `width` pixels a line; a path has no blanks,
  // so lines break anywhere.
  QSize SizeWithin(int width) const;

 protected:
  void keyPressEvent(QKeyEvent* event) override;
  void paintEvent(QPaintEvent* event) override;

 private:
  QUrl m_target;
};

// The completion dialog, captioned "Vellomir": the outcome of the run and a link that opens the
// output folder.
class CCustomMessage : public QDialog {
  Q_OBJECT

 public:
  // Characters of the folder path that the link shows before its "...".
  static constexpr int kShownPathLength = 80;

  explicit CCustomMessage(QWidget* parent = nullptr);
  // The output folder, with its trailing separator.
  void SetFolderPath(const QString& folder);
  // `failed` of `count` files gave no result; with failures the dialog says so.
  void SetOutcome(int failed, int count);

  QString MessageText() const;
  CLinkCtrl* Link() const { return m_link; }
  // The link's text for a folder path: at most its first 80 characters, then "...".
  static QString LinkText(const QString& folder);

 protected:
  void showEvent(QShowEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;

 private:
  void PlaceLink();
  void OpenFolder();

  QString m_folderPath;
  QLabel* m_message = nullptr;
  QLabel* m_placeholder = nullptr;  // control 1002, hidden when the dialog opens
  CLinkCtrl* m_link = nullptr;      // control 100
  QPushButton* m_ok = nullptr;
  bool m_linkPlaced = false;
};

// The about box: the banner, the icon, the product's and maker's details in blue on white, and a
// click on the text opens the home page.
class CAboutDlg : public QDialog {
  Q_OBJECT

 public:
  explicit CAboutDlg(QWidget* parent = nullptr);
  // The ten lines, separated by CR LF.
  static QString AboutText();
  CMyStatic* TextControl() const { return m_text; }

 private:
  CMyStatic* m_text = nullptr;  // control 1003
};

// The About command: the about box, modal.
void ShowAboutBox(QWidget* parent);

}  // namespace vellomir

#endif  // VELLOMIR_SHELL_DIALOGS_H_
