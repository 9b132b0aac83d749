// The station commands of tarvel: the radio page and the drop window's work
// without a display.
#pragma once

#include <string>
#include <vector>

int StationsCommand(const std::vector<std::string>& args);
int AddStationCommand(const std::vector<std::string>& args);
int RemoveStationCommand(const std::vector<std::string>& args);
