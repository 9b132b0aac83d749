// tarvel with no command: the control panel.
#pragma once

#include <QString>

// Runs the control panel until "&Exit"; returns the process exit code.
int RunControlPanel(int argc, char** argv);

// The local socket through which a second start asks the running panel to
// show its sheet.
QString PanelSocketPath();
// Asks a running panel to show its sheet; false when none answers.
bool AskRunningPanelToShow();
