// tarvel with no command: the control panel.
#pragma once

#include <functional>
#include <string>

// Runs the control panel until "&Exit"; returns the process exit code.
// `dataFolder` is the folder it is to follow (absolute; it may not exist
// yet); `enterDataFolder` makes and enters it and readies the catalogue, and
// is called only once no other panel, serve or watch runs. A second panel
// for the same folder hands over to the first one; for another folder, it
// says which process follows which folder and exits 1.
int RunControlPanel(int argc, char** argv, const std::string& dataFolder,
                    const std::function<int()>& enterDataFolder);
