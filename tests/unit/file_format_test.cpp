// The record file's line format: writing, reading back, the whitespace the
// reader accepts and the files it refuses.
#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <string>
#include <vector>

#include "harness.h"
#include "storage/file.h"

namespace {

// Reads text as a record file. Returns the status; records go to got.
load_status read_text(const std::string& text, std::vector<human>& got,
                      int32_t& count) {
  source* in = new source;
  open_memory_source(*in, text.data(), text.size());
  massiv fresh = {nullptr, 0};
  load_status status = read_records(*in, fresh, count);
  got.assign(fresh.rec, fresh.rec + (status == load_ok ? count : 0));
  if (status == load_ok) {
    EXPECT_EQ(fresh.room, count + 1);
  }
  release_array(fresh);
  delete in;
  return status;
}

std::string line_of(const human& h) {
  return on_console("", [&](console& con) { write_record(con.out, h); }).out;
}

TEST(RecordFile, LineHasTheFieldsInFileOrder) {
  human h = sample_human("a");
  h.height = -5;
  EXPECT_EQ(line_of(h),
            "a-имя a-фамилия 1 a-нац a-вера -5 75 5.3.1990 1234567 101000 "
            "a-страна a-область a-город a-улица 7 12\n");
}

TEST(RecordFile, RoundTripKeepsEveryField) {
  std::vector<human> written;
  human wide = sample_human("w");
  for (int no = 1; no <= field_count; no++) {
    if (is_text_field(no)) {
      std::string word(254, static_cast<char>('a' + no));
      snprintf(text_field(wide, no), text_size, "%s", word.c_str());
    } else {
      *int_field(wide, no) = no % 2 ? INT_MIN : INT_MAX;
    }
  }
  written.push_back(wide);
  human odd = sample_human("o");
  odd.sex = 2;
  odd.phone = 0;
  snprintf(odd.name, text_size, "\xff\xfe-not-utf8");
  written.push_back(odd);
  written.push_back(sample_human("Ж"));
  std::string text;
  for (const human& h : written) text += line_of(h);

  std::vector<human> got;
  int32_t count = -1;
  ASSERT_EQ(read_text(text, got, count), load_ok);
  ASSERT_EQ(count, 3);
  for (int i = 0; i < 3; i++) EXPECT_TRUE(same_human(got[i], written[i])) << i;
}

TEST(RecordFile, AnyWhitespaceBetweenFieldsLoadsTheSame) {
  const std::string one =
      "a b 1 c d 2 3 4.5.6 7 8 e f g h 9 10\n"
      "i j 0 k l 11 12 13.14.15 16 17 m n o p 18 19\n";
  const std::string variants[] = {
      "a b 1 c d 2 3 4.5.6 7 8 e f g h 9 10 i j 0 k l 11 12 13.14.15 16 17 "
      "m n o p 18 19",
      "a\tb\t1\tc\td\t2\t3\t4.5.6\t7\t8\te\tf\tg\th\t9\t10\r\n"
      "i j 0 k l 11 12 13.14.15 16 17 m n o p 18 19\r\n",
      "\n\n  a\nb\n1\nc\nd\n2\n3\n4.5.6\n7\n8\ne\nf\ng\nh\n9\n10\n\n"
      "i j 0 k l 11 12 13. 14.\n15 16 17 m n o p 18 19 \n\n\t",
  };
  std::vector<human> want;
  int32_t count = 0;
  ASSERT_EQ(read_text(one, want, count), load_ok);
  ASSERT_EQ(count, 2);
  EXPECT_EQ(want[1].birthday.year, 15);
  for (const std::string& v : variants) {
    std::vector<human> got;
    ASSERT_EQ(read_text(v, got, count), load_ok) << v;
    ASSERT_EQ(count, 2) << v;
    for (int i = 0; i < 2; i++) EXPECT_TRUE(same_human(got[i], want[i])) << v;
  }
}

TEST(RecordFile, EmptyOrBlankFileHasNoRecords) {
  for (const char* text : {"", "\n", " \t\r\n\n  "}) {
    std::vector<human> got;
    int32_t count = -1;
    EXPECT_EQ(read_text(text, got, count), load_ok);
    EXPECT_EQ(count, 0);
  }
}

TEST(RecordFile, RefusesFilesThatBreakTheFormat) {
  const std::string good = "a b 1 c d 2 3 4.5.6 7 8 e f g h 9 10\n";
  const std::string bad[] = {
      "a b x c d 2 3 4.5.6 7 8 e f g h 9 10\n",           // letter for a number
      "a b 1 c d 2 3 4 5 6 7 8 e f g h 9 10\n",           // no full stops
      "a b 1 c d 2 3 4 .5.6 7 8 e f g h 9 10\n",          // blank before a stop
      "a b 1 c d 2 3 4.5.6 7 8 e f g h 9\n",              // cut short
      "a b 1 c d 2 3 4.5.6 7 8 e f g h 9 99999999999\n",  // beyond 32 bits
      std::string(255, 'n') + " b 1 c d 2 3 4.5.6 7 8 e f g h 9 10\n",
      std::string("a\0z b 1 c d 2 3 4.5.6 7 8 e f g h 9 10\n", 39),
  };
  for (const std::string& b : bad) {
    std::vector<human> got;
    int32_t count = -1;
    EXPECT_EQ(read_text(good + good + b + good, got, count), load_bad_format)
        << b;
    EXPECT_EQ(count, 2) << "records read before the bad one: " << b;
  }
}

}  // namespace
