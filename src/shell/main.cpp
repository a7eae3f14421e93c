// The desktop program.
#include "shell/vellomir_app.h"

int main(int argc, char** argv) {
  vellomir::CVellomirApp app(argc, argv);
  if (!app.InitInstance()) return 1;
  return app.exec();
}
