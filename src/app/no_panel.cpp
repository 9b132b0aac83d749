// tarvel built without the control panel (-DTARVEL_PANEL=OFF): no Qt Widgets
// and no X11, for machines without a display.
#include <cstdio>

#include "panel/panel_app.h"

int RunControlPanel(int, char**, const std::string&, const std::function<int()>&) {
  fputs("tarvel: this tarvel is built without the control panel; `tarvel serve` does its work "
        "without a display, and `tarvel --help` lists the other commands\n",
        stderr);
  return 1;
}
