// The person record, one card of the index, and the canonical numbering of
// its eighteen scalar fields. The record file writes and reads the fields in
// this numbering, and the search criterion number is this number.
#ifndef KARTOTEKA_RECORD_HUMAN_H_
#define KARTOTEKA_RECORD_HUMAN_H_

#include <cstddef>
#include <cstdint>

// Every text field is one word of at most 254 bytes with its terminating
// zero, held as the bytes that were read.
const size_t text_size = 255;

struct date {
  int32_t day;
  int32_t month;
  int32_t year;
};

struct postal_address {
  int32_t index;  // postal index
  char country[text_size];
  char region[text_size];  // province or oblast
  char city[text_size];
  char street[text_size];
  int32_t house;
  int32_t flat;
};

struct human {
  char name[text_size];
  char surname[text_size];
  int32_t sex;  // 0 for a woman, 1 for a man; a file may hold other values
  char nationality[text_size];
  char religion[text_size];
  int32_t height;
  int32_t weight;
  date birthday;
  int32_t phone;  // held as a number: leading zeros are not kept
  postal_address address;
};

// The number of scalar fields; they are numbered 1 to field_count.
const int field_count = 18;

// True when field number no (1 to field_count) holds text.
bool is_text_field(int no);

// The text of field number no, which must be a text field.
char* text_field(human& h, int no);
const char* text_field(const human& h, int no);

// The value of field number no, which must be an integer field.
int32_t* int_field(human& h, int no);
const int32_t* int_field(const human& h, int no);

#endif  // KARTOTEKA_RECORD_HUMAN_H_
