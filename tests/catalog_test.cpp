#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "catalog/database.h"
#include "catalog/records.h"
#include "catalog/statements.h"
#include "catalog/text.h"
#include "scan/folder_state.h"
#include "testing.h"

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;
using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

namespace {

class Catalog : public CatalogTest {};

AudioRow Audio(const std::string& file, const std::string& root = "/m/") {
  AudioRow r;
  r.Title = "t";
  r.ParentDir = file.substr(0, file.rfind('/') + 1);
  r.Filename = file;
  r.SharedRoot = root;
  return r;
}

void InsertAudio(const std::string& file, const std::string& root = "/m/") {
  CatalogConnection db = OpenCatalogue();
  InsertAudioRow(db.get(), Audio(file, root));
}

}  // namespace

TEST_F(Catalog, EmptyResultHasNoRowsAndPrintsNothing) {
  CatalogConnection db = OpenCatalogue();
  Recordset rs = Query(db.get(), "select * from audio");
  EXPECT_EQ(rs->RowCount(), 0);
  EXPECT_EQ(rs->rowCount, 0);
  CaptureStdout();
  rs->Print();
  EXPECT_EQ(rs->Next(), 0);
  EXPECT_EQ(GetCapturedStdout(), "");
}

TEST_F(Catalog, OneRowOfThreeColumnsIsHandedOutOnce) {
  CatalogConnection db = OpenCatalogue();
  Recordset rs = Query(db.get(), "select 1 as a, 'x' as b, NULL as c");
  EXPECT_EQ(rs->rowCount, 2);
  EXPECT_EQ(rs->RowCount(), 1);
  ASSERT_EQ(rs->Next(), 1);
  int v = 0;
  rs->GetIntByName("a", &v);
  EXPECT_EQ(v, 1);
  rs->GetIntByName("A", &v);  // names compare case-sensitively: untouched
  EXPECT_EQ(v, 1);
  rs->GetInt(2, &v);
  EXPECT_EQ(v, -1);  // NULL
  char buf[8] = "junk";
  rs->GetText(2, buf, 7);
  EXPECT_STREQ(buf, "");  // NULL reads as empty
  EXPECT_EQ(rs->Next(), 0);
  CaptureStdout();
  rs->Print();
  EXPECT_EQ(GetCapturedStdout(), "a     b     c     \n1     x          \n");
}

TEST_F(Catalog, GetIntTakesLeadingDigitsAndGetTextHonoursItsBound) {
  CatalogConnection db = OpenCatalogue();
  std::string s257(257, 'a'), s256(256, 'b');
  Recordset rs = Query(db.get(), "select '12ab', '" + s257 + "', '" + s256 + "', '99999999999'");
  ASSERT_EQ(rs->Next(), 1);
  int v = 0;
  rs->GetInt(0, &v);
  EXPECT_EQ(v, 12);
  rs->GetInt(3, &v);
  EXPECT_EQ(v, 2147483647);  // clamped, never undefined
  std::vector<char> buf(300, '#');
  rs->GetText(1, buf.data(), 257);
  EXPECT_EQ(std::string(buf.data()), s257);
  EXPECT_EQ(buf[257], '\0');
  EXPECT_EQ(buf[258], '#');  // nothing past bound + 1
  std::fill(buf.begin(), buf.end(), '#');
  rs->GetText(2, buf.data(), 257);
  EXPECT_EQ(std::string(buf.data()), s256);
  EXPECT_EQ(buf[257], '#');
  rs->GetText(1, buf.data(), 5);
  EXPECT_STREQ(buf.data(), "aaaaa");
}

TEST_F(Catalog, FailingStatementsPrintDiagnosticsAndLeaveTheConnectionUsable) {
  CatalogConnection db = OpenCatalogue();
  CaptureStderr();
  int rc = db->Exec("SELEC nonsense");
  std::string out = GetCapturedStderr();
  EXPECT_NE(rc, 0);
  EXPECT_EQ(out.rfind("szSQL=SELEC nonsense\nnErrorCode=1\npErrMsg=", 0), 0u) << out;
  EXPECT_EQ(db->Exec("INSERT INTO sharedfolder VALUES('a','/a/',0)"), 0);
  CaptureStderr();
  Recordset rs = Query(db.get(), "select * from nowhere");
  out = GetCapturedStderr();
  EXPECT_EQ(out, "SqliteRecordsetInit:nErrorCode=1\nSqliteRecordsetInit:pErrMsg=no such table: nowhere\n");
  EXPECT_EQ(rs->RowCount(), 0);
  EXPECT_EQ(rs->Next(), 0);
  EXPECT_EQ(CountRows("select * from sharedfolder"), 1);
}

TEST_F(Catalog, OpenFailureIsPrintedAndCountsNothing) {
  SqliteDatabase* db = SqliteDatabaseCreate();
  EXPECT_EQ(db->Open(nullptr), 1);
  CaptureStderr();
  EXPECT_EQ(db->Open("/nonexistent-folder/x/data.sqlite"), 1);
  EXPECT_EQ(GetCapturedStderr(), "db open error.\n");
  EXPECT_EQ(db->Close(), 0);
  SqliteDatabaseFree(db);
  fs::remove("data.sqlite");
  fs::create_directory("data.sqlite");  // a folder where the file should be
  CaptureStderr();
  EXPECT_EQ(CountRows("select * from audio"), 0);
  EXPECT_NE(GetCapturedStderr().find("db open error.\n"), std::string::npos);
}

TEST_F(Catalog, IsCataloguedLooksInEveryMediaTable) {
  CatalogConnection db = OpenCatalogue();
  ImageRow img;
  img.Title = "p.jpg";
  img.ParentDir = "/m/";
  img.Filename = "/m/p.jpg";
  img.SharedRoot = "/m/";
  InsertImageRow(db.get(), img);
  VideoRow vid;
  vid.Filename = "/m/v.avi";
  InsertVideoRow(db.get(), vid);
  EXPECT_EQ(IsCatalogued("/m/p.jpg"), 1);
  EXPECT_EQ(IsCatalogued("/m/v.avi"), 1);
  EXPECT_EQ(IsCatalogued("/m/P.jpg"), 0);
  EXPECT_EQ(IsCatalogued("/m/absent.jpg"), 0);
}

TEST_F(Catalog, RowsKeepTheirColumnOrderAndDefaults) {
  CatalogConnection db = OpenCatalogue();
  InsertAudioRow(db.get(), Audio("/m/a.mp3"));
  VideoRow v;
  v.Title = "v.avi";
  v.ParentDir = "/m/";
  v.Filename = "/m/v.avi";
  v.SharedRoot = "/m/";
  InsertVideoRow(db.get(), v);
  SharedFolderRow sf{"/m/", "m", 0};
  InsertSharedFolderRow(sf);
  EXPECT_EQ(Rows("select * from audio")[0],
            (std::vector<std::string>{"t", "0", "Others", "Others", "Others", "/m/", "/m/a.mp3", "/m/"}));
  EXPECT_EQ(Rows("select * from video")[0],
            (std::vector<std::string>{"v.avi", "0", "Others", "Others", "Others", "0", "0", "/m/",
                                      "/m/v.avi", "/m/"}));
  EXPECT_EQ(Rows("select * from sharedfolder")[0], (std::vector<std::string>{"m", "/m/", "0"}));
  EXPECT_EQ(ViewCodeFromName("AllImage"), 3);
  EXPECT_EQ(ViewCodeFromName(""), 0);
}

TEST_F(Catalog, ClearingEmptiesTablesButKeepsThem) {
  InsertAudio("/m/a.mp3");
  InsertSharedFolderRow({"/m/", "m", 0});
  for (MediaTable t : kMediaTables) ClearMediaTable(t);
  ClearSharedFolders();
  EXPECT_EQ(Count("audio"), 0);
  EXPECT_EQ(Count("sharedfolder"), 0);
  CaptureStderr();
  InsertAudio("/m/b.mp3");
  EXPECT_EQ(GetCapturedStderr(), "");
  EXPECT_EQ(Count("audio"), 1);
}

TEST_F(Catalog, QuotesInValuesAreStoredComparedAndDeletedExactly) {
  const std::string nasty = "/m/It's \"quoted\"'); DELETE FROM audio; --/x.mp3";
  InsertAudio("/m/keep.mp3");
  InsertAudio(nasty, "/m/it's/");
  EXPECT_EQ(Count("audio"), 2);
  EXPECT_EQ(Rows("select Filename from audio where Filename like '%quoted%'")[0][0], nasty);
  EXPECT_EQ(IsCatalogued(nasty), 1);
  DeleteMediaByRoot(MediaTable::Audio, Quoted("/m/it's/"));
  EXPECT_EQ(Count("audio"), 1);
  InsertAudio(nasty);
  DeleteMediaByFilename(MediaTable::Audio, nasty);
  EXPECT_EQ(IsCatalogued(nasty), 0);
  EXPECT_EQ(IsCatalogued("/m/keep.mp3"), 1);
  SharedFolderRow sf{"/m/O'Brien \"x\"/", "O'Brien \"x\"", 0};
  InsertSharedFolderRow(sf);
  EXPECT_EQ(CountRows(SharedFolderExistsQuery(sf.FullPath).c_str()), 1);
  DeleteSharedFolderLike(ExactLikeArgument(sf.FullPath));
  EXPECT_EQ(Count("sharedfolder"), 0);
}

TEST_F(Catalog, FolderPatternsMatchLiterallyAndCaseSensitively) {
  for (const char* f : {"/m/My_Music/a.mp3", "/m/My_Music/sub/b.mp3", "/m/MyXMusic/c.mp3",
                        "/m/my_music/d.mp3", "/m/My_Music2/e.mp3", "/m/100%/f.mp3",
                        "/m/100x/g.mp3", "/x/m/My_Music/h.mp3"})
    InsertAudio(f);
  DeleteMediaLike(MediaTable::Audio, FolderLikeArgument("/m/My_Music/"));
  DeleteMediaLike(MediaTable::Audio, FolderLikeArgument("/m/100%/"));
  auto rows = Rows("select Filename from audio order by Filename");
  std::vector<std::string> left;
  for (auto& r : rows) left.push_back(r[0]);
  EXPECT_EQ(left, (std::vector<std::string>{"/m/100x/g.mp3", "/m/MyXMusic/c.mp3",
                                            "/m/My_Music2/e.mp3", "/m/my_music/d.mp3",
                                            "/x/m/My_Music/h.mp3"}));
  // A fresh connection without our adapter's pragma would fold case; ours never does.
  EXPECT_EQ(CountRows(FilenameCountQuery("audio", FolderLikeArgument("/M/")).c_str()), 0);
}

TEST_F(Catalog, RootWithoutQuotesIsAnSqlError) {
  CaptureStderr();
  DeleteMediaByRoot(MediaTable::Audio, "/m/");
  EXPECT_NE(GetCapturedStderr().find("nErrorCode="), std::string::npos);
}

TEST_F(Catalog, LongPathsAreKeptWholeAndTextsCutAtCharacterBoundaries) {
  std::string longDir = "/m/" + std::string(600, 'd') + "/";
  std::string title;
  for (int i = 0; i < 60; ++i) title += "é";  // 120 bytes
  AudioRow r = Audio(longDir + "f.mp3");
  r.Title = title;
  r.TagText1 = std::string(150, 'a');
  r.Genre = "日本語日本語日本語日本語日本語日本語日本語日本語日本語日本語";  // 90 bytes
  CatalogConnection db = OpenCatalogue();
  CaptureStderr();
  InsertAudioRow(db.get(), r);
  EXPECT_EQ(GetCapturedStderr(), "");
  auto row = Rows("select * from audio")[0];
  EXPECT_EQ(row[0].size(), 78u);  // 39 characters: the 40th would need bytes 79-80
  EXPECT_EQ(row[0], title.substr(0, 78));
  EXPECT_EQ(row[2].size(), 78u);  // 26 three-byte characters
  EXPECT_EQ(row[3], std::string(99, 'a'));
  EXPECT_EQ(row[5], longDir);
  EXPECT_EQ(row[6], longDir + "f.mp3");
}

// The fields hold one byte less than their size, for the terminator: a text
// of exactly the size is cut by one.
TEST_F(Catalog, TextsOfExactlyTheFieldSizeLoseTheirLastByte) {
  AudioRow r = Audio("/m/exact.mp3");
  r.Title = std::string(80, 't');
  r.Genre = std::string(80, 'g');
  r.TagText1 = std::string(100, 'a');
  r.TagText2 = std::string(99, 'b');
  CatalogConnection db = OpenCatalogue();
  InsertAudioRow(db.get(), r);
  auto row = Rows("select Title, Genre, TagText1, TagText2 from audio")[0];
  EXPECT_EQ(row[0], std::string(79, 't'));
  EXPECT_EQ(row[1], std::string(79, 'g'));
  EXPECT_EQ(row[2], std::string(99, 'a'));
  EXPECT_EQ(row[3], std::string(99, 'b'));  // short enough already
}

TEST_F(Catalog, WriterWaitsForAnotherConnectionsLockInsteadOfLosingTheRow) {
  CatalogConnection holder = OpenCatalogue();
  ASSERT_EQ(holder->Exec("BEGIN IMMEDIATE"), 0);
  ASSERT_EQ(holder->Exec("INSERT INTO sharedfolder VALUES('h','/h/',0)"), 0);
  std::atomic<bool> done{false};
  std::thread writer([&] {
    InsertAudio("/m/late.mp3");
    done = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  EXPECT_FALSE(done);
  holder->Exec("COMMIT");
  writer.join();
  EXPECT_EQ(IsCatalogued("/m/late.mp3"), 1);
}

TEST_F(Catalog, ReaderDoesNotBlockTheWriter) {
  InsertAudio("/m/a.mp3");
  CatalogConnection reader = OpenCatalogue();
  ASSERT_EQ(reader->Exec("BEGIN"), 0);
  Recordset rs = Query(reader.get(), "select * from audio");  // holds a read snapshot
  EXPECT_EQ(rs->RowCount(), 1);
  auto start = std::chrono::steady_clock::now();
  InsertAudio("/m/b.mp3");
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
  EXPECT_EQ(Query(reader.get(), "select * from audio")->RowCount(), 1);  // its snapshot
  reader->Exec("COMMIT");
  EXPECT_EQ(Count("audio"), 2);
}

TEST_F(Catalog, TransactionRollsBackUnlessCommitted) {
  CatalogConnection db = OpenCatalogue();
  {
    Transaction t(db.get());
    InsertAudioRow(db.get(), Audio("/m/gone.mp3"));
  }
  {
    Transaction t(db.get());
    InsertAudioRow(db.get(), Audio("/m/kept.mp3"));
    EXPECT_EQ(t.Commit(), 0);
  }
  EXPECT_EQ(IsCatalogued("/m/gone.mp3"), 0);
  EXPECT_EQ(IsCatalogued("/m/kept.mp3"), 1);
}

TEST_F(Catalog, WriteBehindRunsEveryStatementInOrderAndStillReportsFailures) {
  CatalogConnection db = OpenCatalogue();
  db->StartWriteBehind();
  CaptureStderr();
  for (int i = 0; i < 5000; ++i) {
    if (i % 1000 == 0) db->Exec("BEGIN IMMEDIATE");
    InsertAudioRow(db.get(), Audio("/m/" + std::to_string(i) + ".mp3"));
    if (i % 1000 == 999) db->Exec("COMMIT");
  }
  db->Exec("INSERT INTO nowhere VALUES(1)");
  // A bad row among good ones for the same table costs only itself.
  db->Exec("INSERT INTO audio VALUES('x',1,'g','a','b','/m/','/m/good1.mp3','/m/')");
  db->Exec("INSERT INTO audio VALUES(1)");
  db->Exec("INSERT INTO audio VALUES('x',1,'g','a','b','/m/','/m/good2.mp3','/m/')");
  EXPECT_EQ(Query(db.get(), "select count(*) from audio")->Text(0), "");  // no row current yet
  Recordset rs = Query(db.get(), "select count(*) from audio");  // waits for the queue
  ASSERT_EQ(rs->Next(), 1);
  EXPECT_EQ(rs->Text(0), "5002");
  std::string out = GetCapturedStderr();
  EXPECT_NE(out.find("szSQL=INSERT INTO nowhere VALUES(1)\nnErrorCode=1\n"), std::string::npos);
  EXPECT_NE(out.find("szSQL=INSERT INTO audio VALUES(1)\nnErrorCode=1\n"), std::string::npos);
  EXPECT_EQ(out.find("good1"), std::string::npos);
  db->Exec("DELETE FROM audio WHERE Filename = '/m/0.mp3'");
  db.reset();  // closing runs what is still queued
  EXPECT_EQ(Count("audio"), 5001);
}

// Rows and stamps are bound statements, prepared once per connection: one
// that fails is reported with its text and, inside a transaction, stops
// everything after it as a failed text statement does.
TEST_F(Catalog, ABoundStatementThatFailsIsReportedAndEndsItsTransaction) {
  CatalogConnection db = OpenCatalogue();
  db->StartWriteBehind();
  InsertAudioRow(db.get(), Audio("/m/before.mp3"));  // prepared before the table changes
  CaptureStderr();
  {
    Transaction t(db.get());
    db->Exec("DROP TABLE image");
    ImageRow picture;
    picture.Filename = "/m/p.jpg";
    InsertImageRow(db.get(), picture);
    InsertAudioRow(db.get(), Audio("/m/after.mp3"));
    db->Flush();
    EXPECT_TRUE(db->Failed());  // so the change is not committed
  }
  std::string out = GetCapturedStderr();
  EXPECT_NE(out.find("szSQL=INSERT INTO image VALUES(?,?,?,?,?,?,?,?)\nnErrorCode=1\n"
                     "pErrMsg=no such table: image\n"),
            std::string::npos)
      << out;
  // Rolled back as a whole: the table is back, the later row never came.
  db.reset();
  EXPECT_EQ(Count("image"), 0);
  EXPECT_EQ(Count("audio"), 1);
  // A stamp binds 64-bit numbers as they are.
  db = OpenCatalogue();
  WriteFileStamp(db.get(), "/m/before.mp3", "/m/", FileStamp{int64_t{1} << 40, 1765000000123456789});
  std::optional<FileStamp> kept = StoredFileStamp(db.get(), "/m/before.mp3");
  ASSERT_TRUE(kept);
  EXPECT_EQ(kept->size, int64_t{1} << 40);
  EXPECT_EQ(kept->mtime, 1765000000123456789);
  EXPECT_FALSE(StoredFileStamp(db.get(), "/m/none.mp3"));
}
