// The Windows console's and text-mode streams' conversions: UTF-8 to UTF-16
// and back whatever the buffer boundaries, CR LF both ways, the Ctrl+Z
// that ends console input, and the form of long paths. They run on every
// platform.
#include "os/os_text.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using units = std::vector<uint16_t>;

text_state fresh_stream() {
  text_state s;
  text_reset(s);
  return s;
}

// Encodes text for the console, cut into pieces at the given offsets, with
// an output buffer of room units.
units encode(const std::string& text, std::vector<size_t> cuts = {},
             size_t room = 64) {
  text_state s = fresh_stream();
  units all;
  cuts.push_back(text.size());
  size_t from = 0;
  for (size_t cut : cuts) {
    const char* p = text.data() + from;
    size_t n = cut - from;
    while (n > 0) {
      uint16_t out[64];
      size_t made;
      size_t used = console_encode(s, p, n, out, room, made);
      all.insert(all.end(), out, out + made);
      if (used == 0 && made == 0) {
        ADD_FAILURE() << "no progress";
        return all;
      }
      p += used;
      n -= used;
    }
    from = cut;
  }
  return all;
}

// Decodes console units given in pieces. Sets ended when a Ctrl+Z ended
// the input.
std::string decode(const std::vector<units>& pieces, bool* ended = nullptr) {
  text_state s = fresh_stream();
  std::string all;
  bool end = false;
  for (const units& w : pieces) {
    std::string out(3 * w.size() + 3, '\0');
    size_t made = console_decode(s, w.data(), w.size(), &out[0], end);
    EXPECT_LE(made, out.size());
    all.append(out, 0, made);
  }
  char rest[3];
  all.append(rest, text_drain(s, rest));
  if (ended != nullptr) *ended = end;
  return all;
}

units u16(const std::u16string& text) {
  return units(text.begin(), text.end());
}

TEST(ConsoleEncode, WritesUtf16WithCrLfLineEnds) {
  EXPECT_EQ(encode("Меню:\n 1) A\n"), u16(u"Меню:\r\n 1) A\r\n"));
  EXPECT_EQ(encode("€ 😀"), u16(u"€ 😀"));
  EXPECT_EQ(encode(""), units{});
}

TEST(ConsoleEncode, CharacterCutBetweenTwoWritesIsWhole) {
  const std::string text = "aЖ€😀z\n";
  const units whole = encode(text);
  for (size_t cut = 0; cut <= text.size(); cut++) {
    EXPECT_EQ(encode(text, {cut}), whole) << "cut at " << cut;
  }
  // Byte by byte: every character arrives in pieces.
  std::vector<size_t> every;
  for (size_t i = 1; i < text.size(); i++) every.push_back(i);
  EXPECT_EQ(encode(text, every), whole);
}

TEST(ConsoleEncode, BytesThatAreNotUtf8BecomeReplacementCharacters) {
  struct {
    const char* bytes;
    std::u16string shown;
  } cases[] = {
      {"\x80z", u"\uFFFDz"},                      // a continuation byte alone
      {"\xC0\xAFz", u"\uFFFD\uFFFDz"},            // an overlong form
      {"\xED\xA0\x80z", u"\uFFFD\uFFFD\uFFFDz"},  // a surrogate
      {"\xF8\x88z", u"\uFFFD\uFFFDz"},            // no such lead byte
      {"\xF4\x90\x80\x80", u"\uFFFD\uFFFD\uFFFD\uFFFD"},  // past U+10FFFF
      {"\xE2\x82z", u"\uFFFDz"},  // cut short by another character
      {"\xC3\x28", u"\uFFFD("},
      {"\xD0\x96\xFF\xD0\x96", u"Ж\uFFFDЖ"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(encode(c.bytes), u16(c.shown)) << c.bytes;
    // The same when the bad sequence is cut after its first byte.
    EXPECT_EQ(encode(c.bytes, {1}), u16(c.shown)) << c.bytes;
  }
}

TEST(ConsoleEncode, FullOutputStopsAndGoesOn) {
  const std::string text = "ab\n😀\nЖ\n\n";
  for (size_t room = 2; room <= 5; room++) {
    EXPECT_EQ(encode(text, {}, room), encode(text)) << room;
  }
}

TEST(ConsoleDecode, LinesComeAsUtf8WithLf) {
  EXPECT_EQ(decode({u16(u"Анна\r\n"), u16(u"1 2\r\n")}), "Анна\n1 2\n");
  EXPECT_EQ(decode({u16(u"€😀\r\n")}), "€😀\n");
}

TEST(ConsoleDecode, CrAndSurrogatePairCutBetweenReadsAreWhole) {
  const units line = u16(u"Ж😀\r\nx\r\n");
  const std::string whole = decode({line});
  EXPECT_EQ(whole, "Ж😀\nx\n");
  for (size_t cut = 0; cut <= line.size(); cut++) {
    units a(line.begin(), line.begin() + cut),
        b(line.begin() + cut, line.end());
    EXPECT_EQ(decode({a, b}), whole) << "cut at " << cut;
  }
}

TEST(ConsoleDecode, LoneCrAndLoneSurrogatesAreKept) {
  EXPECT_EQ(decode({u16(u"a\rb\r\n")}), "a\rb\n");
  EXPECT_EQ(decode({{'a', 0xDC00, 'b'}}),
            "a\xEF\xBF\xBD"
            "b");
  EXPECT_EQ(decode({{0xD83D, 'b'}}),
            "\xEF\xBF\xBD"
            "b");
  // Half a pair, then the end of the input.
  EXPECT_EQ(decode({{'a', 0xD83D}}), "a\xEF\xBF\xBD");
  EXPECT_EQ(decode({{'a', '\r'}}), "a\r");
}

TEST(ConsoleDecode, CtrlZAtTheStartOfALineEndsTheInput) {
  bool ended = false;
  EXPECT_EQ(decode({u16(u"\x1A\r\n")}, &ended), "");
  EXPECT_TRUE(ended);
  EXPECT_EQ(decode({u16(u"1\r\n\x1A\r\n2\r\n")}, &ended), "1\n");
  EXPECT_TRUE(ended);
  // The line end before it in the read before.
  EXPECT_EQ(decode({u16(u"1\r"), u16(u"\n"), u16(u"\x1A\r\n"), u16(u"2\r\n")},
                   &ended),
            "1\n");
  EXPECT_TRUE(ended);
  // The rest of its line goes with it.
  EXPECT_EQ(decode({u16(u"\x1A"
                        u"abc\r\n")},
                   &ended),
            "");
  EXPECT_TRUE(ended);
}

TEST(ConsoleDecode, CtrlZInsideALineIsAByte) {
  bool ended = true;
  EXPECT_EQ(decode({u16(u"a\x1A\r\n"), u16(u"b\r\n")}, &ended), "a\x1A\nb\n");
  EXPECT_FALSE(ended);
  // After a lone CR the line has begun.
  EXPECT_EQ(decode({u16(u"\r\x1A\r\n")}, &ended), "\r\x1A\n");
  EXPECT_FALSE(ended);
}

// Reads text given in pieces through text_read, in place as os_win does:
// each piece lands one byte after the start of the buffer.
std::string read_text(const std::vector<std::string>& pieces) {
  text_state s = fresh_stream();
  std::string all;
  for (const std::string& piece : pieces) {
    std::string buf = " " + piece;
    size_t made = text_read(s, &buf[1], piece.size(), &buf[0]);
    EXPECT_LE(made, piece.size() + 1);
    all.append(buf, 0, made);
  }
  char rest[3];
  all.append(rest, text_drain(s, rest));
  return all;
}

TEST(TextRead, CrLfIsReadAsLfWhereverTheReadsEnd) {
  const std::string text = "1\r\nИван\r\n\r\nN\r\n";
  EXPECT_EQ(read_text({text}), "1\nИван\n\nN\n");
  for (size_t cut = 0; cut <= text.size(); cut++) {
    EXPECT_EQ(read_text({text.substr(0, cut), text.substr(cut)}),
              "1\nИван\n\nN\n")
        << "cut at " << cut;
  }
  EXPECT_EQ(read_text({"\r", "\r", "\n"}), "\r\n");
}

TEST(TextRead, OtherBytesPassAsTheyAre) {
  EXPECT_EQ(read_text({"a\rb\x1A\n\x1A"}), "a\rb\x1A\n\x1A");
  EXPECT_EQ(read_text({"end\r"}), "end\r");
  EXPECT_EQ(read_text({std::string("a\0b", 3)}), std::string("a\0b", 3));
}

std::string write_text(const std::string& text, size_t room) {
  std::string all;
  size_t at = 0;
  while (at < text.size()) {
    char out[16];
    size_t made;
    size_t used =
        text_write(text.data() + at, text.size() - at, out, room, made);
    if (used == 0) {
      ADD_FAILURE() << "no progress";
      break;
    }
    all.append(out, made);
    at += used;
  }
  return all;
}

TEST(TextWrite, LfIsWrittenAsCrLf) {
  for (size_t room = 2; room <= 16; room++) {
    EXPECT_EQ(write_text("a b\n\nЖ\n", room), "a b\r\n\r\nЖ\r\n") << room;
  }
  EXPECT_EQ(write_text("no line end", 4), "no line end");
}

// A full path beyond MAX_PATH is given to the wide file API with the
// prefix \\?\ (a network one with \\?\UNC\); one that has a prefix keeps
// it.
TEST(ExtendedPath, DriveAndNetworkPathsGetTheirPrefix) {
  auto ext = [](const std::string& full, size_t room = 64) {
    units in(full.begin(), full.end());
    units out(room, 0xFFFF);
    size_t n = extended_path(in.data(), in.size(), out.data(), room);
    if (n == 0) return std::string("(no room)");
    EXPECT_EQ(out[n], 0) << full;
    return std::string(out.begin(), out.begin() + static_cast<long>(n));
  };
  EXPECT_EQ(ext("C:\\Users\\a.txt"), "\\\\?\\C:\\Users\\a.txt");
  EXPECT_EQ(ext("\\\\srv\\share\\a.txt"), "\\\\?\\UNC\\srv\\share\\a.txt");
  EXPECT_EQ(ext("\\\\?\\C:\\a.txt"), "\\\\?\\C:\\a.txt");
  EXPECT_EQ(ext("\\\\.\\CON"), "\\\\.\\CON");
  EXPECT_EQ(ext("C:\\a.txt", 13), "\\\\?\\C:\\a.txt");
  EXPECT_EQ(ext("C:\\a.txt", 12), "(no room)");
}

}  // namespace
