// Search by criterion.
#include "search/search.h"

#include <cstring>

#include "os/os.h"
#include "record/display.h"

const char criterion_menu[] =
    "Выберите критерий для поиска:\n1-имя\n2-фамилия\n3-пол\n"
    "4-национальность\n5-вероисповедание\n6-рост\n7-вес\n8-день рождения\n"
    "9-месяц рождения\n10-год рождения\n11-номер телефона\n12-индекс\n"
    "13-страна\n14-область\n15-город\n16-улица\n17-дом\n18-квартира\n";
const char query_prompt[] = "Введите запрос: ";
const char nothing_found_text[] = "Ничего не найдено!\n";
const char result_heading[] = "Результат номер ";
const char no_room_for_results_text[] =
    "Не хватает памяти для результатов поиска; поиск прерван.\n";

// Whether field number choise of h equals the query: the word strquery for
// a text field, the number intquery otherwise.
static bool matches(const human& h, int choise, const char* strquery,
                    int32_t intquery) {
  if (is_text_field(choise))
    return strcmp(text_field(h, choise), strquery) == 0;
  return *int_field(h, choise) == intquery;
}

// Resizes the result list to room for room positions. Returns false, with
// results untouched, when it cannot.
static bool resize_results(int32_t*& results, int64_t room) {
  if (static_cast<uint64_t>(room) > SIZE_MAX / sizeof(int32_t)) return false;
  void* block = os_resize(results, static_cast<size_t>(room) * sizeof(int32_t));
  if (block == nullptr) return false;
  results = static_cast<int32_t*>(block);
  return true;
}

static void print_results(console& con, const massiv& Massiv,
                          const int32_t* results, int32_t found) {
  if (found < 1) {
    say(con, nothing_found_text);
    return;
  }
  for (int32_t i = 0; i < found; i++) {
    say(con, result_heading);
    put_int(con.out, i + 1);
    say(con, ":\n");
    print_human(con.out, Massiv.rec[results[i]]);
    if (output_gone(con)) return;
  }
}

int search_array(console& con, int32_t n, const massiv& Massiv) {
  int32_t* results = nullptr;
  if (!resize_results(results, 1)) {
    report(con, "%s", no_room_for_results_text);
    return 1;
  }
  int32_t choise = 0;
  char strquery[word_size] = "";
  int32_t intquery = 0;
  bool asked = ask_int_in(con, criterion_menu, 1, field_count, choise) &&
               (is_text_field(choise) ? ask_word(con, query_prompt, strquery)
                                      : ask_int(con, query_prompt, intquery));
  int status = 0;
  int32_t found = 0;
  for (int32_t i = 0; asked && i < n; i++) {
    if (!matches(Massiv.rec[i], choise, strquery, intquery)) continue;
    results[found++] = i;
    if (!resize_results(results, int64_t{found} + 1)) {
      report(con, "%s", no_room_for_results_text);
      status = 1;
      break;
    }
  }
  if (asked && status == 0) print_results(con, Massiv, results, found);
  os_free(results);
  return status;
}
