// Every search criterion compares the field it names and no other.
#include "search/search.h"

#include <gtest/gtest.h>

#include <string>

#include "harness.h"
#include "record/display.h"

namespace {

std::string shown(const human& h) {
  return on_console("", [&](console& con) { print_human(con.out, h); }).out;
}

// Runs one search for criterion and query on the records of a and returns
// what it printed after the query prompt.
std::string results_of(const massiv& a, int32_t n, int criterion,
                       const std::string& query) {
  std::string out =
      on_console(std::to_string(criterion) + "\n" + query + "\n",
                 [&](console& con) { EXPECT_EQ(search_array(con, n, a), 0); })
          .out;
  const std::string prompt = "Введите запрос: ";
  size_t at = out.find(prompt);
  EXPECT_NE(at, std::string::npos);
  return out.substr(at + prompt.size());
}

TEST(Search, EachCriterionFindsOnlyItsOwnField) {
  // Record 0 is the base; record k differs from it in field k alone, which
  // holds a value no other record has in any field.
  const int32_t n = field_count + 1;
  massiv a = sample_array(n);
  const human base = sample_human("base");
  for (int k = 0; k < n; k++) a.rec[k] = base;
  for (int k = 1; k <= field_count; k++) {
    if (is_text_field(k))
      snprintf(text_field(a.rec[k], k), text_size, "u%d", k);
    else
      *int_field(a.rec[k], k) = 1000 + k;
  }
  for (int k = 1; k <= field_count; k++) {
    std::string unique =
        is_text_field(k) ? "u" + std::to_string(k) : std::to_string(1000 + k);
    EXPECT_EQ(results_of(a, n, k, unique),
              "Результат номер 1:\n" + shown(a.rec[k]))
        << "criterion " << k;

    std::string common = is_text_field(k) ? std::string(text_field(base, k))
                                          : std::to_string(*int_field(base, k));
    std::string all_but_k;
    int no = 0;
    for (int i = 0; i < n; i++) {
      if (i == k) continue;
      all_but_k +=
          "Результат номер " + std::to_string(++no) + ":\n" + shown(a.rec[i]);
    }
    EXPECT_EQ(results_of(a, n, k, common), all_but_k) << "criterion " << k;
  }
  release_array(a);
}

TEST(Search, TextMatchIsWholeAndExact) {
  massiv a = sample_array(1);
  for (const char* query : {"r0-им", "r0-имя2", "R0-имя", "r0-ИМЯ"}) {
    EXPECT_EQ(results_of(a, 1, 1, query), "Ничего не найдено!\n") << query;
  }
  release_array(a);
}

}  // namespace
