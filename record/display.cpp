// The display of one person record.
#include "record/display.h"

#include "os/compat.h"

const char name_label[] = "Имя: ";
const char surname_label[] = "Фамилия: ";
const char woman_line[] = "Женщина\n";
const char man_line[] = "Мужчина\n";
const char nationality_label[] = "Национальность: ";
const char religion_label[] = "Вероисповедание: ";
const char height_label[] = "Рост: ";
const char weight_label[] = "Вес: ";
const char phone_label[] = "Номер телефона: ";
const char birthday_label[] = "Дата рождения: ";
const char address_label[] = "Адрес: \n";
const char index_label[] = " Индекс: ";
const char country_label[] = " Страна: ";
const char region_label[] = " Область: ";
const char city_label[] = " Город: ";
const char street_label[] = " Улица: ";
const char house_label[] = " Дом: ";
const char flat_label[] = " Квартира: ";

// The person's text lines keep one blank before the line end; the address
// lines have none.
static void text_line(sink& out, const char* label, const char* text,
                      const char* ending) {
  put_text(out, label);
  put_text(out, text);
  put_text(out, ending);
}

static void int_line(sink& out, const char* label, int32_t v) {
  put_text(out, label);
  put_int(out, v);
  put_char(out, '\n');
}

void print_human(sink& out, const human& h) {
  // The fields lie across the whole record, and a search prints records
  // scattered over the array: ask for all of its memory at once rather than
  // waiting on each field in turn.
  prefetch(&h, sizeof h, false);
  text_line(out, name_label, h.name, " \n");
  text_line(out, surname_label, h.surname, " \n");
  put_text(out, h.sex == 0 ? woman_line : man_line);
  text_line(out, nationality_label, h.nationality, " \n");
  text_line(out, religion_label, h.religion, " \n");
  int_line(out, height_label, h.height);
  int_line(out, weight_label, h.weight);
  int_line(out, phone_label, h.phone);
  put_text(out, birthday_label);
  put_int(out, h.birthday.day);
  put_char(out, '.');
  put_int(out, h.birthday.month);
  put_char(out, '.');
  int_line(out, "", h.birthday.year);
  put_text(out, address_label);
  int_line(out, index_label, h.address.index);
  text_line(out, country_label, h.address.country, "\n");
  text_line(out, region_label, h.address.region, "\n");
  text_line(out, city_label, h.address.city, "\n");
  text_line(out, street_label, h.address.street, "\n");
  int_line(out, house_label, h.address.house);
  int_line(out, flat_label, h.address.flat);
}
