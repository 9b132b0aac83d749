#include "app/commands.h"

#include <cstdio>

#include "catalog/database.h"

namespace {

int CatalogCommand(const std::vector<std::string>& args) {
  if (!args.empty()) return kUsageError;
  for (const char* table : {"AUDIO", "VIDEO", "IMAGE", "SHAREDFOLDER"}) {
    std::string sql = std::string("select count(*) from ") + table;
    CatalogConnection db = OpenCatalogue();
    if (!db) return 1;
    Recordset rs = Query(db.get(), sql);
    int n = 0;
    if (!rs->Next()) return 1;
    rs->GetInt(0, &n);
    printf("%s %d\n", table, n);
  }
  return 0;
}

}  // namespace

const std::vector<Command>& Commands() {
  static const std::vector<Command> commands = {
      {"catalog", CatalogCommand},
  };
  return commands;
}

int RunControlPanel(int, char**) {
  fprintf(stderr, "tarvel: the control panel is not available in this build; see tarvel --help\n");
  return 1;
}
