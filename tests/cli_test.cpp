#include <gtest/gtest.h>

#include "testing.h"

class Cli : public CatalogTest {};

TEST_F(Cli, CatalogCountsRowsInTheDataFolder) {
  fs::create_directory("data");
  RunResult r = RunProgram("tarvel", {"--data-dir", (dir_ / "data").string(), "catalog"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "AUDIO 0\nVIDEO 0\nIMAGE 0\nSHAREDFOLDER 0\n");
  EXPECT_TRUE(fs::exists(dir_ / "data" / "data.sqlite"));
}

TEST_F(Cli, BadCommandsAndOptionsPrintUsageAndExit2) {
  for (auto args : std::vector<std::vector<std::string>>{
           {"frobnicate"}, {"--data-dir"}, {"catalog", "extra"}}) {
    RunResult r = RunProgram("tarvel", args);
    EXPECT_EQ(r.status, 2) << args[0];
    EXPECT_NE(r.err.find("usage: tarvel"), std::string::npos);
  }
  RunResult r = RunProgram("tarvel", {"--data-dir", "/nonexistent/dir", "catalog"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("/nonexistent/dir"), std::string::npos);
}

TEST_F(Cli, ACorruptCatalogueIsAClearErrorAndIsNotOverwritten) {
  fs::create_directory("bad");
  WriteFile(dir_ / "bad" / "data.sqlite", std::string(4096, 'z'));
  RunResult r = RunProgram("tarvel", {"--data-dir", (dir_ / "bad").string(), "catalog"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("not a usable catalogue"), std::string::npos) << r.err;
  EXPECT_EQ(ReadFile(dir_ / "bad" / "data.sqlite"), std::string(4096, 'z'));
}
