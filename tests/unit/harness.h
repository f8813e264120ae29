// Running a piece of the program on a console whose input is a given
// string, and collecting what it printed and reported.
#ifndef KARTOTEKA_TESTS_HARNESS_H_
#define KARTOTEKA_TESTS_HARNESS_H_

#include <functional>
#include <string>

#include "console/dialogue.h"
#include "record/array.h"
#include "record/human.h"

struct transcript {
  std::string out;  // everything printed
  std::string err;  // every report
};

// Runs body on a console that reads input and returns what it printed and
// reported. The console's output is flushed after body returns.
transcript on_console(const std::string& input,
                      const std::function<void(console&)>& body);

// A record with every field set, its words made from tag.
human sample_human(const std::string& tag);

// Whether every field of a and b holds the same value.
bool same_human(const human& a, const human& b);

// An array with room for exactly n records, holding records made by
// sample_human("r0"), sample_human("r1"), ...
massiv sample_array(int n);

// Makes os_resize fail from its (good + 1)th call on, counting from the
// moment this is called, until the object goes out of scope.
struct failing_resizes {
  explicit failing_resizes(int good);
  ~failing_resizes();
  os_resizer before;
};

#endif  // KARTOTEKA_TESTS_HARNESS_H_
