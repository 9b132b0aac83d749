#include "catalog/records.h"

int ViewCodeFromName(const std::string& viewName) {
  if (viewName == "AllVideo") return 1;
  if (viewName == "AllAudio") return 2;
  if (viewName == "AllImage") return 3;
  return 0;  // "SourceView", "" and anything else
}
