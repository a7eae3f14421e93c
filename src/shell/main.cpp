// The desktop program.
#include <QApplication>
#include <QMainWindow>

#include "shell/shell_texts.h"
#include "shell/vellomir_view.h"

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  QMainWindow frame;
  frame.setWindowTitle(vellomir::FrameCaption());
  frame.setCentralWidget(new vellomir::CVellomirView(&frame));
  frame.showMaximized();
  return app.exec();
}
