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

// Reads text as a record file, into an array with no records in use and
// into arrays with 2 and 5 records in use, which must all read the same.
// Returns the status; the records read go to got. A failed read must leave
// the records in use and the array's room as they were; a good one fills
// the array from position 0 and leaves room for one record more.
load_status read_text(const std::string& text, std::vector<human>& got,
                      int32_t& count) {
  source* in = new source;
  load_status first = load_ok;
  for (int n : {0, 2, 5}) {
    open_memory_source(*in, text.data(), text.size());
    massiv a = sample_array(n == 0 ? 1 : n);
    int32_t read = -1;
    load_status status = read_records(*in, a, n, read);
    std::vector<human> records(a.rec, a.rec + (status == load_ok ? read : 0));
    if (status == load_ok) {
      EXPECT_EQ(a.room, read + 1);
    } else {
      EXPECT_EQ(a.room, n == 0 ? 1 : n);
      for (int i = 0; i < n; i++) {
        EXPECT_TRUE(same_human(a.rec[i], sample_human("r" + std::to_string(i))))
            << "record " << i << " of " << n << " changed";
      }
    }
    release_array(a);
    if (n == 0) {
      first = status;
      count = read;
      got = records;
      continue;
    }
    EXPECT_EQ(status, first) << n;
    EXPECT_EQ(read, count) << n;
    EXPECT_EQ(records.size(), got.size()) << n;
    for (size_t i = 0; i < records.size() && i < got.size(); i++)
      EXPECT_TRUE(same_human(records[i], got[i])) << n << " " << i;
  }
  delete in;
  return first;
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

// What Windows tools add to a text: a byte-order mark at the very start
// and an end-of-file mark (0x1A) as the very last byte are skipped; the
// same bytes anywhere else are bytes of a word like any other.
TEST(RecordFile, MarksOfWindowsToolsAreSkippedOnlyAtTheEnds) {
  const std::string bom = "\xEF\xBB\xBF";
  const std::string eof = "\x1A";
  const std::string line = "a b 1 c d 2 3 4.5.6 7 8 e f g h 9 10\n";
  const std::string bare = "a b 1 c d 2 3 4.5.6 7 8 e f g h 9 10";
  struct mark_case {
    std::string text;
    load_status status;
    int32_t count;
    std::string first_name;  // of the first record read
  };
  const mark_case cases[] = {
      {bom + line + line, load_ok, 2, "a"},
      {line + line + eof, load_ok, 2, "a"},
      {bom + line + bare + eof, load_ok, 2, "a"},
      {bom, load_ok, 0, ""},
      {eof, load_ok, 0, ""},
      {bom + "\r\n" + eof, load_ok, 0, ""},
      {"\xEF\xBB", load_bad_format, 0, ""},  // only a part of the mark
      {bom + bom + line, load_ok, 1, bom + "a"},
      {eof + line, load_ok, 1, eof + "a"},
      {line + eof + "\n", load_bad_format, 1, "a"},
      {line + eof + eof, load_bad_format, 1, "a"},
  };
  for (const mark_case& c : cases) {
    std::vector<human> got;
    int32_t count = -1;
    EXPECT_EQ(read_text(c.text, got, count), c.status) << c.text;
    EXPECT_EQ(count, c.count) << c.text;
    if (c.status == load_ok && count > 0) {
      EXPECT_EQ(got[0].name, c.first_name) << c.text;
    }
  }
}

// The mark's bytes can begin a name (typed, or from a file that had the
// mark twice); at the start of a saved file they must not read as the
// mark, or the name would lose them.
TEST(RecordFile, FirstNameBeginningWithTheMarkBytesComesBack) {
  human first = sample_human("f");
  snprintf(first.name, text_size, "\xEF\xBB\xBFимя");
  const human rec[] = {first, sample_human("s")};
  std::string text =
      on_console("", [&](console& con) { write_records(con.out, 2, rec); }).out;
  std::vector<human> got;
  int32_t count = -1;
  ASSERT_EQ(read_text(text, got, count), load_ok);
  ASSERT_EQ(count, 2);
  EXPECT_TRUE(same_human(got[0], rec[0]));
  EXPECT_TRUE(same_human(got[1], rec[1]));
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

// A field may have 254 bytes at most. A longer one stops the reading as
// soon as it is seen, so that a file streaming one word or number without
// end cannot keep the load going.
TEST(RecordFile, FieldOver254BytesStopsTheReadAtOnce) {
  const std::string rest = " b 1 c d 2 3 4.5.6 7 8 e f g h 9 10\n";
  const std::string tail = " c d 2 3 4.5.6 7 8 e f g h 9 10\n";
  std::vector<human> got;
  int32_t count = 0;
  // 254 bytes of sign and digits are still a number.
  std::string number = "-" + std::string(252, '0') + "7";
  ASSERT_EQ(read_text("a b " + number + tail, got, count), load_ok);
  EXPECT_EQ(got[0].sex, -7);
  EXPECT_EQ(read_text("a b 0" + number.substr(1) + "0" + tail, got, count),
            load_bad_format);

  const std::string endless[] = {
      std::string(8 << 20, 'w'),
      "a b " + std::string(8 << 20, '1'),
      "a b 1 c d 2 3 " + std::string(8 << 20, '4') + ".5.6",
      std::string(8 << 20, '\0'),
  };
  for (const std::string& text : endless) {
    source* in = new source;
    open_memory_source(*in, text.data(), text.size());
    massiv a = {nullptr, 0};
    EXPECT_EQ(read_records(*in, a, 0, count), load_bad_format);
    EXPECT_EQ(count, 0);
    EXPECT_EQ(a.rec, nullptr);
    EXPECT_LE(in->pos, text.size() - (8 << 20) + field_max + 1);
    delete in;
  }
}

}  // namespace
