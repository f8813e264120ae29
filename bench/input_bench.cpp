// Throughput of the input layer's word and integer reading, from memory
// and from a file descriptor, in bytes of input per second.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "console/input.h"
#include "record/array.h"
#include "storage/file.h"

// About a mebibyte of words or numbers, one blank or line end apart, in the
// mix of lengths a record file has.
static std::string words_text() {
  const char* words[] = {"Александр",   "Smith",         "Москва",
                         "православие", "Marszałkowska", "Ёлкина-Щукина",
                         "USA",         "Казань"};
  std::string text;
  for (int i = 0; text.size() < (1 << 20); i++) {
    text += words[i % 8];
    text += i % 16 == 15 ? '\n' : ' ';
  }
  return text;
}

static std::string ints_text() {
  const char* ints[] = {"1",    "183",       "-72",    "24.",
                        "1990", "377099259", "507742", "0"};
  std::string text;
  for (int i = 0; text.size() < (1 << 20); i++) {
    text += ints[i % 8];
    text += i % 16 == 15 ? '\n' : ' ';
  }
  return text;
}

// Reads every word of text; the benchmark fails on any other outcome.
static void read_all_words(benchmark::State& state, source& s) {
  char buf[255];
  read_status status;
  while ((status = read_word(s, buf, sizeof buf)) == read_ok)
    benchmark::DoNotOptimize(buf[0]);
  if (status != read_end) state.SkipWithError("read_word failed");
}

static void read_all_ints(benchmark::State& state, source& s) {
  int32_t v = 0;
  read_status status;
  for (;;) {
    status = read_int(s, v);
    if (status != read_ok) break;
    benchmark::DoNotOptimize(v);
    take_byte(s, '.');
  }
  if (status != read_end) state.SkipWithError("read_int failed");
}

static void BM_read_word_memory(benchmark::State& state) {
  std::string text = words_text();
  for (auto _ : state) {
    source s;
    open_memory_source(s, text.data(), text.size());
    read_all_words(state, s);
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(text.size()));
}
BENCHMARK(BM_read_word_memory);

static void BM_read_int_memory(benchmark::State& state) {
  std::string text = ints_text();
  for (auto _ : state) {
    source s;
    open_memory_source(s, text.data(), text.size());
    read_all_ints(state, s);
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(text.size()));
}
BENCHMARK(BM_read_int_memory);

// The same text read from a file descriptor, through the source's buffer.
static void BM_read_word_fd(benchmark::State& state) {
  std::string text = words_text();
  FILE* f = tmpfile();
  if (f == nullptr || fwrite(text.data(), 1, text.size(), f) != text.size() ||
      fflush(f) != 0) {
    state.SkipWithError("no temporary file");
    return;
  }
  static source s;
  os_stream file;
  os_std_stream(file, 0);
  file.handle = fileno(f);
  for (auto _ : state) {
    if (lseek(fileno(f), 0, SEEK_SET) != 0) state.SkipWithError("lseek");
    open_source(s, file, nullptr);
    read_all_words(state, s);
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(text.size()));
  fclose(f);
}
BENCHMARK(BM_read_word_fd);

// A load's whole reading: record file lines from memory into a fresh block,
// grown by the load's rule.
static void BM_read_records_memory(benchmark::State& state) {
  const char* lines[] = {
      "Сергей Schmidt 0 украинка Orthodox 194 96 24.12.2001 377099259 507742 "
      "Germany Mazowieckie Казань Marszałkowska 189 344\n",
      "Татьяна Новиков 0 белорус ислам 184 61 14.11.1936 442517341 682474 "
      "Украина Самарская Munich Лесная 66 372\n",
      "Мария Jackson 1 French католицизм 165 88 4.12.1989 691496824 552342 "
      "Украина California Rouen Hauptstraße 171 363\n"};
  std::string text;
  for (int i = 0; i < 3000; i++) text += lines[i % 3];
  for (auto _ : state) {
    source s;
    open_memory_source(s, text.data(), text.size());
    massiv fresh = {nullptr, 0};
    int32_t count = 0;
    if (read_records(s, fresh, 0, count) != load_ok || count != 3000)
      state.SkipWithError("read_records failed");
    release_array(fresh);
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(text.size()));
}
BENCHMARK(BM_read_records_memory);

BENCHMARK_MAIN();
