// Prompt-and-answer behaviour that transcripts cannot see directly: what a
// bad answer costs, the count that filling returns, and the display of a
// sex value that only a file can hold.
#include <gtest/gtest.h>

#include <string>

#include "harness.h"
#include "menu/fill.h"
#include "record/display.h"
#include "search/search.h"

namespace {

TEST(AskInt, BadAnswerDropsTheRestOfItsLineOnly) {
  int32_t v = 0;
  transcript t = on_console("abc 5\n12345678901\n-\n7 8\n", [&](console& con) {
    ASSERT_TRUE(ask_int(con, "> ", v));
    int32_t next = 0;
    ASSERT_TRUE(ask_int(con, "> ", next));
    EXPECT_EQ(next, 8);
  });
  EXPECT_EQ(v, 7);
  EXPECT_EQ(t.out, "> > > > > ");
  EXPECT_EQ(t.err,
            "Ошибка ввода: ожидалось целое число.\n"
            "Ошибка ввода: число не помещается в 32 бита (от -2147483648 до "
            "2147483647).\n"
            "Ошибка ввода: ожидалось целое число.\n");
}

// A bad answer that the input ends in is reported, and the prompt is not
// printed again: there is nothing left to answer it.
TEST(BadAnswer, EndOfInputWithinItAsksNoMore) {
  for (const char* bad : {"abc", "x", "99999999999", "-"}) {
    int32_t v = 3;
    transcript t = on_console(bad, [&](console& con) {
      EXPECT_FALSE(ask_int(con, "> ", v));
      EXPECT_TRUE(con.ended);
    });
    EXPECT_EQ(v, 3) << bad;
    EXPECT_EQ(t.out, "> ") << bad;
    EXPECT_NE(t.err, "") << bad;
  }
  char buf[word_size];
  transcript t = on_console(std::string(255, 'w'), [&](console& con) {
    EXPECT_FALSE(ask_word(con, "? ", buf));
    EXPECT_TRUE(con.ended);
  });
  EXPECT_EQ(t.out, "? ");
  EXPECT_EQ(t.err, "Ошибка ввода: слово длиннее 254 байт.\n");
}

TEST(BadAnswer, EndOfInputAtTheCriterionOrQueryAsksNoMore) {
  massiv a = sample_array(1);
  std::string criteria =
      on_console("", [&](console& con) { search_array(con, 1, a); }).out;
  transcript at_criterion = on_console(
      "x", [&](console& con) { EXPECT_EQ(search_array(con, 1, a), 0); });
  EXPECT_EQ(at_criterion.out, criteria);
  EXPECT_EQ(at_criterion.err, "Ошибка ввода: ожидалось целое число.\n");
  transcript bad_query = on_console(
      "6\nabc", [&](console& con) { EXPECT_EQ(search_array(con, 1, a), 0); });
  EXPECT_EQ(bad_query.out, criteria + "Введите запрос: ");
  EXPECT_EQ(bad_query.err, "Ошибка ввода: ожидалось целое число.\n");
  release_array(a);
}

// Whatever was printed before a report is passed on before it, so a log
// that takes both streams reads in order.
TEST(BadAnswer, OutputBeforeTheReportIsPassedOnFirst) {
  on_console("x\n5\n", [&](console& con) {
    int32_t v = 0;
    say(con, "before ");
    ASSERT_TRUE(ask_int(con, "> ", v));
    EXPECT_EQ(std::string(con.out.kept, con.out.kept_len), "before > ");
  });
}

TEST(AskWord, TooLongOrNulWordIsAskedAgain) {
  char buf[word_size];
  std::string input = std::string(255, 'x') + " same line\n" +
                      std::string("a\0b\n", 4) + "ok\n";
  transcript t = on_console(
      input, [&](console& con) { ASSERT_TRUE(ask_word(con, "? ", buf)); });
  EXPECT_STREQ(buf, "ok");
  EXPECT_EQ(t.out, "? ? ? ");
  EXPECT_EQ(t.err,
            "Ошибка ввода: слово длиннее 254 байт.\n"
            "Ошибка ввода: слово содержит нулевой байт.\n");
}

const char one_record[] = "N S 1 nat rel 1 2 3 4 5 6 7 c r t s 8 9\n";

TEST(FillArray, StartsAgainFromTheFirstPosition) {
  massiv a = sample_array(1);
  int32_t n = 0;
  std::string five;
  for (int i = 0; i < 4; i++) five += std::string(one_record) + "y";
  five += std::string(one_record) + "n\n";
  std::string two = std::string("A S 1 nat rel 1 2 3 4 5 6 7 c r t s 8 9\ny") +
                    "B S 1 nat rel 1 2 3 4 5 6 7 c r t s 8 9\nN\n";
  on_console(five + two, [&](console& con) {
    n = fill_array(con, a);
    EXPECT_EQ(n, 5);
    EXPECT_EQ(a.room, 7);
    n = fill_array(con, a);
  });
  EXPECT_EQ(n, 2);
  EXPECT_EQ(a.room, 4);
  EXPECT_STREQ(a.rec[0].name, "A");
  EXPECT_STREQ(a.rec[1].name, "B");
  release_array(a);
}

// The yes/no question after a record takes the first character typed after
// any blanks and line ends; any other character drops its line and the
// question comes again, once. Each input follows a record whose last field
// ends the text before it; `next` is a second record.
TEST(FillArray, QuestionTakesTheFirstCharacterTyped) {
  const std::string record = "N S 1 nat rel 1 2 3 4 5 6 7 c r t s 8 9";
  const std::string next = "B S 1 nat rel 1 2 3 4 5 6 7 c r t s 8 9\nn\n";
  struct answer_case {
    std::string typed;
    int questions;      // how often the question is printed
    int32_t count;      // what fill_array returns
    const char* named;  // the second record's name, if one is taken
  };
  const answer_case cases[] = {
      {"\nn\n", 1, 1, nullptr},
      {" \nN\n", 1, 1, nullptr},                // a blank after the last field
      {"\r\nn\r\n", 1, 1, nullptr},             // CR LF line ends
      {"\n\n \t\v\f\r\n\nn\n", 1, 1, nullptr},  // empty lines
      {"\nДа\nn\n", 2, 1, nullptr},             // two letters, Russian
      {"\nxy\nнет\nN\n", 3, 1, nullptr},
      {"\n" + std::string(1 << 20, 'j') + "\nn\n", 2, 1, nullptr},
      {"\ny\n" + next, 2, 2, "B"},
      {"\nY " + next, 2, 2, "B"},
      {"\nyes " + next.substr(2), 2, 2, "es"},  // "es" is the next name
      {"\nx", 1, 0, nullptr},  // the input ends in a wrong answer's line
      {"\n\n", 1, 0, nullptr},
  };
  const std::string question = "Желаете ввести следующую запись?";
  for (const answer_case& c : cases) {
    massiv a = sample_array(1);
    int32_t n = -1;
    transcript t = on_console(record + c.typed,
                              [&](console& con) { n = fill_array(con, a); });
    const std::string shown = c.typed.substr(0, 12);
    EXPECT_EQ(n, c.count) << shown;
    int asked = 0;
    for (size_t at = t.out.find(question); at != std::string::npos;
         at = t.out.find(question, at + 1)) {
      asked++;
    }
    EXPECT_EQ(asked, c.questions) << shown;
    if (c.named != nullptr && n == 2) {
      EXPECT_STREQ(a.rec[1].name, c.named) << shown;
    }
    EXPECT_EQ(t.err, "") << shown;
    release_array(a);
  }
}

TEST(AddRecord, GrowsToExactlyTheCount) {
  massiv a = sample_array(1);
  int32_t n = 0;
  on_console(std::string(one_record) + one_record, [&](console& con) {
    add_record(con, a, n);
    add_record(con, a, n);
  });
  EXPECT_EQ(n, 2);
  EXPECT_EQ(a.room, 2);
  release_array(a);
}

TEST(PrintHuman, AnyNonZeroSexIsAMan) {
  human h = sample_human("x");
  for (int32_t sex : {1, 2, -1}) {
    h.sex = sex;
    std::string out =
        on_console("", [&](console& con) { print_human(con.out, h); }).out;
    EXPECT_NE(out.find("\nМужчина\n"), std::string::npos) << sex;
  }
  h.sex = 0;
  std::string out =
      on_console("", [&](console& con) { print_human(con.out, h); }).out;
  EXPECT_NE(out.find("\nЖенщина\n"), std::string::npos);
}

}  // namespace
