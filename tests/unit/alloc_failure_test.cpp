// What every operation that grows a block does when the resize fails: no
// record is lost or invented, nothing is written past a block, and the
// failure is reported.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "harness.h"
#include "menu/fill.h"
#include "menu/menu.h"
#include "search/search.h"
#include "storage/file.h"

namespace {

const char record_line[] = "N S 1 nat rel 1 2 3 4 5 6 7 c r t s 8 9\n";

TEST(FailedResize, FillKeepsTheRecordsStoredSoFar) {
  massiv a = sample_array(1);
  int32_t n = 0;
  transcript t;
  {
    failing_resizes fail(1);  // the first growth works, the second fails
    t = on_console(std::string(record_line) + "y" + record_line + "y" +
                       record_line + "n\n",
                   [&](console& con) { n = fill_array(con, a); });
  }
  EXPECT_EQ(n, 2);
  EXPECT_EQ(a.room, 3);
  EXPECT_EQ(t.err,
            "Не хватает памяти для новой записи; записей в массиве: 2.\n");
  release_array(a);
}

TEST(FailedResize, AddRecordAddsNothingAndAsksNothing) {
  massiv a = sample_array(2);
  human* before = a.rec;
  int32_t n = 2;
  transcript t;
  {
    failing_resizes fail(0);
    t = on_console(record_line, [&](console& con) { add_record(con, a, n); });
  }
  EXPECT_EQ(n, 2);
  EXPECT_EQ(a.rec, before);
  EXPECT_EQ(t.out, "");
  EXPECT_NE(t.err, "");
  EXPECT_STREQ(a.rec[1].name, "r1-имя");
  release_array(a);
}

// Loads a file of three records with only `good` resizes allowed.
struct load_result {
  int32_t n;
  transcript t;
};

load_result load_with(int good, massiv& a) {
  // One file per test: ctest runs the tests of this file side by side.
  const std::string file =
      std::string("kartoteka-load-") +
      ::testing::UnitTest::GetInstance()->current_test_info()->name() + ".txt";
  const char* name = file.c_str();
  FILE* f = fopen(name, "wb");
  EXPECT_NE(f, nullptr);
  const std::string line = "N S 1 nat rel 1 2 3.4.5 6 7 c r t s 8 9\n";
  std::string text = line + line + line;
  EXPECT_EQ(fwrite(text.data(), 1, text.size(), f), text.size());
  EXPECT_EQ(fclose(f), 0);
  load_result r = {0, {}};
  {
    failing_resizes fail(good);
    r.t = on_console(std::string(name) + "\n",
                     [&](console& con) { r.n = load_array(con, a, 2); });
  }
  remove(name);
  return r;
}

// With two records in use, a load of three resizes the block that holds
// the first two back, then the array for the third record, then the array
// to the count + 1.
TEST(FailedResize, LoadChangesNothingWhateverResizeFails) {
  const int stopped_at[] = {1, 3, 4};
  for (int good = 0; good < 3; good++) {
    massiv a = sample_array(2);
    load_result r = load_with(good, a);
    EXPECT_EQ(r.n, 2) << good;
    EXPECT_GE(a.room, 2) << good;  // giving the room back fails too
    EXPECT_STREQ(a.rec[0].name, "r0-имя") << good;
    EXPECT_STREQ(a.rec[1].name, "r1-имя") << good;
    EXPECT_EQ(r.t.out, "Введите имя файла: ") << good;
    EXPECT_NE(r.t.err.find("на записи " + std::to_string(stopped_at[good]) +
                           ": не хватает памяти; массив не изменён"),
              std::string::npos)
        << r.t.err;
    release_array(a);
  }
  massiv a = sample_array(2);
  load_result r = load_with(3, a);
  EXPECT_EQ(r.n, 3);
  EXPECT_EQ(a.room, 4);
  EXPECT_STREQ(a.rec[0].name, "N");
  EXPECT_STREQ(a.rec[2].name, "N");
  EXPECT_EQ(r.t.out, "Введите имя файла: Выполнено!\n");
  release_array(a);
}

// Loading into an array that already has the room reuses its block: the
// records are never held twice.
TEST(FailedResize, ReloadFillsTheSameBlock) {
  massiv a = sample_array(4);
  human* before = a.rec;
  load_result r = load_with(2, a);
  EXPECT_EQ(r.n, 3);
  EXPECT_EQ(a.rec, before);
  EXPECT_TRUE(same_human(a.rec[0], a.rec[2]));
  release_array(a);
}

// With every resize failing, a save either writes every record and says
// so, or reports the failure and leaves the old file whole: never
// "Выполнено!" over a file that lacks records.
TEST(FailedResize, SaveWithNoMemoryWritesAllOrKeepsTheOldFile) {
  const std::string name =
      std::string("kartoteka-save-") +
      ::testing::UnitTest::GetInstance()->current_test_info()->name() + ".txt";
  FILE* f = fopen(name.c_str(), "wb");
  ASSERT_NE(f, nullptr);
  ASSERT_GE(fputs("old\n", f), 0);
  ASSERT_EQ(fclose(f), 0);
  massiv a = sample_array(3);
  std::string lines;
  for (int i = 0; i < 3; i++) {
    lines += on_console("", [&](console& con) {
               write_record(con.out, a.rec[i]);
             }).out;
  }
  transcript t;
  int status = -1;
  {
    failing_resizes fail(0);
    t = on_console(name + "\n",
                   [&](console& con) { status = save_array(con, 3, a); });
  }
  std::string saved;
  f = fopen(name.c_str(), "rb");
  ASSERT_NE(f, nullptr);
  for (int c; (c = fgetc(f)) != EOF;) {
    if (c != '\r') saved += static_cast<char>(c);  // CR LF on Windows
  }
  fclose(f);
  if (status == 0) {
    EXPECT_EQ(t.out, "Введите имя файла: Выполнено!\n");
    EXPECT_EQ(saved, lines);
  } else {
    EXPECT_NE(t.err, "");
    EXPECT_EQ(saved, "old\n");
  }
  remove(name.c_str());
  release_array(a);
}

TEST(FailedResize, SearchPrintsNothingForTheSearch) {
  massiv a = sample_array(3);
  const std::string prompt = "Введите запрос: ";
  std::string menu_and_prompt =
      on_console("3\n-1\n", [&](console& con) { search_array(con, 3, a); }).out;
  menu_and_prompt.resize(menu_and_prompt.find(prompt) + prompt.size());
  for (int good : {0, 1, 2}) {
    transcript t;
    int status = 0;
    {
      failing_resizes fail(good);
      t = on_console("3\n1\n",
                     [&](console& con) { status = search_array(con, 3, a); });
    }
    EXPECT_EQ(status, 1) << good;
    EXPECT_EQ(t.out.find("Результат"), std::string::npos) << good;
    EXPECT_EQ(t.out.find("Ничего"), std::string::npos) << good;
    if (good == 0) {
      EXPECT_EQ(t.out, "") << "no list, no dialogue";
    } else {
      EXPECT_EQ(t.out, menu_and_prompt);
    }
    EXPECT_EQ(t.err,
              "Не хватает памяти для результатов поиска; поиск прерван.\n");
  }
  release_array(a);
}

// A room whose size in bytes does not fit size_t (on a 32-bit system) must
// not be asked for as the few bytes it wraps round to, which the count
// would then run past: the resize fails without asking.
size_t asked_bytes = 0;
void* refuse_and_note(void*, size_t size) {
  asked_bytes = size;
  return nullptr;
}

TEST(FailedResize, RoomBeyondWhatSizeCountsIsNeverAskedWrapped) {
  massiv a = sample_array(1);
  for (uint64_t room :
       {uint64_t{INT32_MAX}, (uint64_t{1} << 32) / sizeof(human) + 1}) {
    asked_bytes = 0;
    os_resizer before = os_set_resizer(refuse_and_note);
    EXPECT_FALSE(resize_array(a, static_cast<int64_t>(room)));
    os_set_resizer(before);
    if (asked_bytes != 0) {
      EXPECT_EQ(asked_bytes / sizeof(human), room);
    }
    EXPECT_EQ(a.room, 1);
  }
  release_array(a);
}

TEST(FailedResize, NoArrayAtStartEndsTheProgramSilently) {
  transcript t;
  {
    failing_resizes fail(0);
    t = on_console("1\n", [&](console& con) { run_menu(con); });
  }
  EXPECT_EQ(t.out, "");
  EXPECT_EQ(t.err, "");
}

}  // namespace
