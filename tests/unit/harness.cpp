// Test helpers: consoles over strings, sample records, failing resizes.
#include "harness.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

transcript on_console(const std::string& input,
                      const std::function<void(console&)>& body) {
  std::unique_ptr<console> con(new console);
  open_memory_console(*con, input.data(), input.size());
  body(*con);
  if (!flush(con->out) || !flush(con->err)) abort();
  transcript t{std::string(con->out.kept, con->out.kept_len),
               std::string(con->err.kept, con->err.kept_len)};
  release_console(*con);
  return t;
}

static void set_word(char* field, const std::string& word) {
  snprintf(field, text_size, "%s", word.c_str());
}

human sample_human(const std::string& tag) {
  human h;
  memset(&h, 0, sizeof h);
  set_word(h.name, tag + "-имя");
  set_word(h.surname, tag + "-фамилия");
  h.sex = 1;
  set_word(h.nationality, tag + "-нац");
  set_word(h.religion, tag + "-вера");
  h.height = 180;
  h.weight = 75;
  h.birthday = {5, 3, 1990};
  h.phone = 1234567;
  h.address.index = 101000;
  set_word(h.address.country, tag + "-страна");
  set_word(h.address.region, tag + "-область");
  set_word(h.address.city, tag + "-город");
  set_word(h.address.street, tag + "-улица");
  h.address.house = 7;
  h.address.flat = 12;
  return h;
}

bool same_human(const human& a, const human& b) {
  for (int no = 1; no <= field_count; no++) {
    if (is_text_field(no) ? strcmp(text_field(a, no), text_field(b, no)) != 0
                          : *int_field(a, no) != *int_field(b, no)) {
      return false;
    }
  }
  return true;
}

massiv sample_array(int n) {
  massiv a = {nullptr, 0};
  if (!resize_array(a, n)) abort();
  for (int i = 0; i < n; i++) a.rec[i] = sample_human("r" + std::to_string(i));
  return a;
}

static int good_left = 0;
static os_resizer real = nullptr;

static void* counting_realloc(void* p, size_t size) {
  if (good_left == 0) return nullptr;
  good_left--;
  return real(p, size);
}

failing_resizes::failing_resizes(int good) {
  good_left = good;
  before = os_set_resizer(counting_realloc);
  real = before;
}

failing_resizes::~failing_resizes() {
  os_set_resizer(before);
}
