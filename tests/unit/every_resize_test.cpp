// A whole session (filling, adding, saving, loading, searching, showing)
// run again and again with one resize after another failing: only that one,
// or that one and all after it. Each time the session must go on to its
// end, the failure must be reported, and every record shown must be one of
// the records typed, in the order typed, with none shown twice.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "harness.h"
#include "menu/menu.h"
#include "os/os.h"
#include "record/display.h"

namespace {

int calls = 0;     // resizes so far
int fail_at = -1;  // the number of the resize to fail, counting from 0
bool fail_after = false;

void* test_realloc(void* p, size_t size) {
  int no = calls++;
  if (no == fail_at || (fail_after && fail_at >= 0 && no > fail_at))
    return nullptr;
  return os_system_resize(p, size);
}

// The line that types h at the entry prompts, in their order.
std::string typed(const human& h) {
  std::string line;
  for (int no :
       {1, 2, 3, 4, 5, 6, 7, 11, 8, 9, 10, 12, 13, 14, 15, 16, 17, 18}) {
    line += is_text_field(no) ? text_field(h, no)
                              : std::to_string(*int_field(h, no));
    line += no == 18 ? "\n" : " ";
  }
  return line;
}

std::string shown(const human& h) {
  return on_console("", [&](console& con) { print_human(con.out, h); }).out;
}

// Takes from text, at pos, a run of blocks each made of heading + its
// number + after, then one of blocks; stores which block each was. Stops at
// the first place that does not look so.
std::vector<int> blocks_at(const std::string& text, size_t pos,
                           const std::string& heading, const std::string& after,
                           const std::vector<std::string>& blocks) {
  std::vector<int> seen;
  for (;;) {
    std::string head = heading + std::to_string(seen.size() + 1) + after;
    if (text.compare(pos, head.size(), head) != 0) return seen;
    pos += head.size();
    int which = -1;
    for (size_t b = 0; b < blocks.size(); b++) {
      if (text.compare(pos, blocks[b].size(), blocks[b]) == 0)
        which = static_cast<int>(b);
    }
    if (which < 0) return {-1};
    seen.push_back(which);
    pos += blocks[which].size();
  }
}

bool in_typed_order(const std::vector<int>& seen) {
  for (size_t i = 0; i < seen.size(); i++) {
    if (seen[i] < 0 || (i > 0 && seen[i] <= seen[i - 1])) return false;
  }
  return true;
}

// The record file the session saves and loads, in the current folder.
const char file_name[] = "kartoteka-resize-karta";

struct session {
  std::vector<human> rec;  // the records typed, in order
  std::vector<std::string> blocks;
  std::string input;
};

session make_session() {
  session s;
  for (const char* tag : {"a", "b", "c", "d"}) {
    s.rec.push_back(sample_human(tag));
  }
  // The search finds the first and the third.
  snprintf(s.rec[0].address.city, text_size, "общий");
  snprintf(s.rec[2].address.city, text_size, "общий");
  for (const human& h : s.rec) s.blocks.push_back(shown(h));
  // Each record on a line of its own that starts with a letter, and no
  // search answer the menu could take for a choice: whatever a failure
  // leaves unread is then only bad menu answers.
  std::string file = std::string(file_name) + "\n";
  s.input = "1\n" + typed(s.rec[0]) + "y\n" + typed(s.rec[1]) + "y\n" +
            typed(s.rec[2]) + "n\n3\n" + typed(s.rec[3]) + "4\n" + file +
            "5\n" + file + "6\n15\nобщий\n2\nA\n0\n";
  return s;
}

struct outcome {
  transcript t;
  bool ended;
};

outcome run(const session& s, int at, bool after) {
  calls = 0;
  fail_at = at;
  fail_after = after;
  os_resizer before = os_set_resizer(test_realloc);
  outcome o = {{}, true};
  o.t = on_console(s.input, [&](console& con) {
    run_menu(con);
    o.ended = con.ended;
  });
  os_set_resizer(before);
  return o;
}

const char page_question[] =
    "Вывести только следующую запись (N) или все сразу (A)? ";
const char last_menu[] = " 0) Выход\nВаш выбор: ";

// What the session showed at its last paging question, and what its search
// found; {-1} for something that is none of the typed records.
std::vector<int> final_show(const outcome& o, const session& s) {
  size_t q = o.t.out.rfind(page_question);
  if (q == std::string::npos) return {};
  return blocks_at(o.t.out, q + sizeof page_question - 1, "\nЗапись номер ",
                   "\n", s.blocks);
}

std::vector<int> found(const outcome& o, const session& s) {
  size_t r = o.t.out.find("Результат номер 1:\n");
  if (r == std::string::npos) return {};
  return blocks_at(o.t.out, r, "Результат номер ", ":\n", s.blocks);
}

void check(const outcome& o, const session& s, const std::string& what) {
  const std::string& out = o.t.out;
  EXPECT_FALSE(o.ended) << what << ": the session did not reach its 0";
  EXPECT_TRUE(out.size() >= sizeof last_menu - 1 &&
              out.compare(out.size() - (sizeof last_menu - 1),
                          std::string::npos, last_menu) == 0)
      << what;
  EXPECT_NE(o.t.err, "") << what << ": no report";
  std::vector<int> show = final_show(o, s);
  EXPECT_TRUE(in_typed_order(show)) << what << "\n" << out;
  std::vector<int> hits = found(o, s);
  EXPECT_TRUE(in_typed_order(hits)) << what;
  for (int h : hits) EXPECT_TRUE(h == 0 || h == 2) << what;
}

TEST(EveryResize, FailingOneAfterAnotherLosesAndInventsNothing) {
  session s = make_session();
  outcome good = run(s, -1, false);
  int total = calls;
  EXPECT_EQ(good.t.err, "");
  EXPECT_EQ(final_show(good, s), (std::vector<int>{0, 1, 2, 3}));
  EXPECT_EQ(found(good, s), (std::vector<int>{0, 2}));
  // The first resize reserves the array at start; without it the program
  // ends at once (see alloc_failure_test), so the failures start after it.
  EXPECT_GE(total, 10);
  for (int at = 1; at < total; at++) {
    check(run(s, at, false), s, "resize " + std::to_string(at) + " alone");
    check(run(s, at, true), s, "resizes from " + std::to_string(at));
  }
  EXPECT_EQ(remove(file_name), 0);
}

}  // namespace
