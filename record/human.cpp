// The canonical numbering of the person record's scalar fields.
#include "record/human.h"

namespace {

struct field_place {
  bool text;
  size_t offset;  // where the field starts within a human
};

#define FIELD(text, member) \
  { text, offsetof(human, member) }

// Field number no is fields[no - 1]: the declaration order of human,
// flattened.
const field_place fields[field_count] = {
    FIELD(true, name),
    FIELD(true, surname),
    FIELD(false, sex),
    FIELD(true, nationality),
    FIELD(true, religion),
    FIELD(false, height),
    FIELD(false, weight),
    FIELD(false, birthday.day),
    FIELD(false, birthday.month),
    FIELD(false, birthday.year),
    FIELD(false, phone),
    FIELD(false, address.index),
    FIELD(true, address.country),
    FIELD(true, address.region),
    FIELD(true, address.city),
    FIELD(true, address.street),
    FIELD(false, address.house),
    FIELD(false, address.flat),
};

#undef FIELD

char* field_at(const human& h, int no) {
  return const_cast<char*>(reinterpret_cast<const char*>(&h)) +
         fields[no - 1].offset;
}

}  // namespace

bool is_text_field(int no) {
  return fields[no - 1].text;
}

char* text_field(human& h, int no) {
  return field_at(h, no);
}

const char* text_field(const human& h, int no) {
  return field_at(h, no);
}

int32_t* int_field(human& h, int no) {
  return reinterpret_cast<int32_t*>(field_at(h, no));
}

const int32_t* int_field(const human& h, int no) {
  return reinterpret_cast<const int32_t*>(field_at(h, no));
}
