// tarvel with no command, in the command-line program: the control panel is
// tarvel-panel, the same program with the panel built in, installed beside
// it. The command line itself loads none of the panel's libraries (Qt
// Widgets, Gui, Network, D-Bus, X11): a share run from a script or a
// service starts in half the time.
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "panel/panel_app.h"
#include "platform/process.h"

int RunControlPanel(int argc, char** argv, const std::string&, const std::function<int()>&) {
  // Beside this program, not another one found on the PATH: the two must
  // be of the same build.
  const std::string panel = ProgramBeside("tarvel-panel");
  if (!panel.empty()) {
    // The same process goes on as the panel, with the same arguments: it
    // decides for itself which data folder it follows.
    std::vector<char*> args(argv, argv + argc);
    args[0] = const_cast<char*>(panel.c_str());
    args.push_back(nullptr);
    execv(panel.c_str(), args.data());
  }
  fprintf(stderr, "tarvel: cannot start the control panel %s: %s\n",
          panel.empty() ? "tarvel-panel" : panel.c_str(), strerror(errno ? errno : ENOENT));
  return 1;
}
