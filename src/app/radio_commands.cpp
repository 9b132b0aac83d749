#include "app/radio_commands.h"

#include <cstdio>

#include "app/commands.h"
#include "radio/drop.h"
#include "radio/station_store.h"
#include "radio/stations.h"

int StationsCommand(const std::vector<std::string>& args) {
  if (!args.empty()) return kUsageError;
  if (int rc = EnterDataFolder()) return rc;
  const std::string folder = GetRadioFolder();
  for (const std::string& name : ListStations(folder)) {
    std::string title;
    ReadStationTitle((folder + name).c_str(), &title);
    printf("%s\t%s\n", name.c_str(), title.c_str());
  }
  return 0;
}

// The drop of the link as text with the move effect.
int AddStationCommand(const std::vector<std::string>& args) {
  if (args.size() != 1) return kUsageError;
  if (int rc = EnterDataFolder()) return rc;
  StationResult result = StoreStationFromLink(LinkFromDroppedText(args[0]));
  if (!result.ok()) {
    fprintf(stderr, "tarvel: %s\n", DescribeStationResult(result).c_str());
    return 1;
  }
  printf("%s\n", result.name.c_str());
  return 0;
}

int RemoveStationCommand(const std::vector<std::string>& args) {
  if (args.empty()) return kUsageError;
  if (int rc = EnterDataFolder()) return rc;
  std::string error;
  if (!RemoveStations(GetRadioFolder(), args, &error)) {
    fprintf(stderr, "tarvel: %s\n", error.c_str());
    return 1;
  }
  return 0;
}
