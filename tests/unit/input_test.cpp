// The reading rules of formatted input, as the console and the record file
// both rely on them.
#include "console/input.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

struct memory_input {
  explicit memory_input(const std::string& text) : text(text) {
    open_memory_source(in, this->text.data(), this->text.size());
  }
  std::string text;
  source in;
};

// What is left unread, taken byte by byte.
std::string rest(source& in) {
  std::string left;
  for (char c; read_char(in, c) == read_ok;) left += c;
  return left;
}

TEST(ReadInt, TakesSignAndDigitsAndLeavesTheRest) {
  struct {
    const char* input;
    int32_t value;
    const char* left;
  } cases[] = {
      {"42\n", 42, "\n"},
      {"  \t\n\v\f\r-12abc", -12, "abc"},
      {"+7 8", 7, " 8"},
      {"007", 7, ""},
      {"0123\n", 123, "\n"},
      {"2147483647 ", 2147483647, " "},
      {"-2147483648.", INT32_MIN, "."},
      {"5.3.1990", 5, ".3.1990"},
  };
  for (const auto& c : cases) {
    memory_input m(c.input);
    int32_t v = 0;
    ASSERT_EQ(read_int(m.in, v), read_ok) << c.input;
    EXPECT_EQ(v, c.value) << c.input;
    EXPECT_EQ(rest(m.in), c.left) << c.input;
  }
}

TEST(ReadInt, RefusesWhatIsNotA32BitNumber) {
  struct {
    const char* input;
    read_status status;
    const char* left;
  } cases[] = {
      {"abc\n", read_not_number, "abc\n"},
      {"-\n", read_not_number, "\n"},
      {"+x", read_not_number, "x"},
      {"- 5", read_not_number, " 5"},
      {"2147483648\n", read_out_of_range, "\n"},
      {"-2147483649 1", read_out_of_range, " 1"},
      {"-21474836480", read_out_of_range, ""},  // past the limit, then a digit
      {"12345678901", read_out_of_range, ""},
      {"\xc2\xa0"
       "5",
       read_not_number,
       "\xc2\xa0"
       "5"},  // no-break space
      {"", read_end, ""},
      {" \n\t ", read_end, ""},
  };
  for (const auto& c : cases) {
    memory_input m(c.input);
    int32_t v = 99;
    EXPECT_EQ(read_int(m.in, v), c.status) << c.input;
    EXPECT_EQ(v, 99) << "value changed by a failed read: " << c.input;
    EXPECT_EQ(rest(m.in), c.left) << c.input;
  }
}

TEST(ReadInt, HugeRunOfDigitsIsOutOfRange) {
  memory_input m(std::string(100000, '9') + " 3");
  int32_t v = 0;
  EXPECT_EQ(read_int(m.in, v), read_out_of_range);
  ASSERT_EQ(read_int(m.in, v), read_ok);
  EXPECT_EQ(v, 3);
}

TEST(ReadWord, TakesOneWordUpToWhitespace) {
  memory_input m("  \r\nИван\tПетров\n");
  char buf[255];
  ASSERT_EQ(read_word(m.in, buf, sizeof buf), read_ok);
  EXPECT_STREQ(buf, "Иван");
  ASSERT_EQ(read_word(m.in, buf, sizeof buf), read_ok);
  EXPECT_STREQ(buf, "Петров");
  EXPECT_EQ(rest(m.in), "\n");
  EXPECT_EQ(read_word(m.in, buf, sizeof buf), read_end);
}

TEST(ReadWord, WordCutByEndOfInputIsStillAWord) {
  memory_input m("abc");
  char buf[255];
  ASSERT_EQ(read_word(m.in, buf, sizeof buf), read_ok);
  EXPECT_STREQ(buf, "abc");
  EXPECT_EQ(read_word(m.in, buf, sizeof buf), read_end);
}

TEST(ReadWord, KeepsBytesThatAreNotUtf8) {
  memory_input m("\xff\xfe\x80z next");
  char buf[255];
  ASSERT_EQ(read_word(m.in, buf, sizeof buf), read_ok);
  EXPECT_STREQ(buf, "\xff\xfe\x80z");
}

TEST(ReadWord, Limit254BytesAndNoWritePastTheBuffer) {
  const std::string fits(254, 'a');
  const std::string too_long(255, 'b');
  memory_input m(fits + " " + too_long + " " + std::string("x\0y", 3) +
                 " last");
  // One guard byte after the buffer must survive every read.
  char buf[256];
  buf[255] = '#';
  ASSERT_EQ(read_word(m.in, buf, 255), read_ok);
  EXPECT_EQ(std::string(buf), fits);
  EXPECT_EQ(read_word(m.in, buf, 255), read_too_long);
  EXPECT_STREQ(buf, "");
  EXPECT_EQ(read_word(m.in, buf, 255), read_nul);
  EXPECT_STREQ(buf, "");
  ASSERT_EQ(read_word(m.in, buf, 255), read_ok);
  EXPECT_STREQ(buf, "last");
  EXPECT_EQ(buf[255], '#');
}

TEST(Source, SkipLineTakesTheLineEndToo) {
  memory_input m("rest of line\nnext");
  skip_line(m.in);
  EXPECT_EQ(rest(m.in), "next");
  memory_input last("no line end");
  skip_line(last.in);
  EXPECT_EQ(rest(last.in), "");
}

TEST(Source, TakeByteOnlyTakesTheByteAsked) {
  memory_input m(". 3");
  EXPECT_FALSE(take_byte(m.in, ','));
  EXPECT_TRUE(take_byte(m.in, '.'));
  EXPECT_FALSE(take_byte(m.in, '3'));
}

// A character is one whole UTF-8 sequence, or one byte where none begins.
TEST(ReadCharacter, TakesOneUtf8SequenceOrOneByte) {
  struct {
    std::string input;
    std::vector<std::string> characters;
  } cases[] = {
      {"yд\nн€😀", {"y", "д", "\n", "н", "€", "😀"}},
      {"\xd0y", {"\xd0", "y"}},              // cut short by a letter
      {"\xe2\x82y", {"\xe2", "\x82", "y"}},  // likewise, one byte later
      {"\xc0\xaf\xff\x80", {"\xc0", "\xaf", "\xff", "\x80"}},  // never leads
      {"\xe0\x80\x80", {"\xe0", "\x80", "\x80"}},              // overlong
      {"\xed\xa0\x80", {"\xed", "\xa0", "\x80"}},              // a surrogate
      {"\xf4\x90\x80\x80", {"\xf4", "\x90", "\x80", "\x80"}},  // too high
      {"\xd0", {"\xd0"}},                                      // cut by the end
  };
  for (const auto& c : cases) {
    memory_input m(c.input);
    size_t at = 0;
    for (const std::string& want : c.characters) {
      char first = 0;
      ASSERT_EQ(read_character(m.in, first), read_ok) << c.input;
      EXPECT_EQ(first, want[0]) << c.input;
      EXPECT_EQ(m.in.pos - at, want.size()) << c.input;
      at = m.in.pos;
    }
    char first = 0;
    EXPECT_EQ(read_character(m.in, first), read_end) << c.input;
  }
}

// Words, numbers and characters that straddle the stream source's buffer
// refills.
TEST(Source, ReadsAcrossRefillsFromAStream) {
  const char name[] = "kartoteka-input-test.txt";
  FILE* f = fopen(name, "wb");
  ASSERT_NE(f, nullptr);
  const std::string big(100000, 'w');
  std::string text = std::string(65535, ' ') + "123456 " + big + " tail";
  text += std::string(3 * 65536 - 1 - text.size(), ' ') + "дz";
  ASSERT_EQ(fwrite(text.data(), 1, text.size(), f), text.size());
  ASSERT_EQ(fclose(f), 0);
  os_stream file;
  ASSERT_EQ(os_open_read(file, name), 0);
  source* in = new source;
  open_source(*in, file, nullptr);
  int32_t v = 0;
  ASSERT_EQ(read_int(*in, v), read_ok);
  EXPECT_EQ(v, 123456);
  char buf[255];
  EXPECT_EQ(read_word(*in, buf, sizeof buf), read_too_long);
  ASSERT_EQ(read_word(*in, buf, sizeof buf), read_ok);
  EXPECT_STREQ(buf, "tail");
  // The 65536th byte of the file begins a letter whose second byte comes
  // with the next read.
  skip_space(*in);
  char first = 0;
  ASSERT_EQ(read_character(*in, first), read_ok);
  EXPECT_EQ(first, '\xd0');
  ASSERT_EQ(read_character(*in, first), read_ok);
  EXPECT_EQ(first, 'z');
  EXPECT_EQ(read_word(*in, buf, sizeof buf), read_end);
  EXPECT_EQ(in->error, 0);
  delete in;
  os_close(file);
  remove(name);
}

TEST(Source, ReadErrorEndsTheInputAndIsKept) {
  os_stream none;
  os_std_stream(none, 0);
  none.handle = -1;  // not an open stream
  source* in = new source;
  open_source(*in, none, nullptr);
  char c;
  EXPECT_EQ(read_char(*in, c), read_end);
  EXPECT_NE(in->error, 0);
  delete in;
}

}  // namespace
