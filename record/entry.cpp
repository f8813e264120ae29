// The record entry dialogue.
#include "record/entry.h"

const char name_prompt[] = "Введите имя: ";
const char surname_prompt[] = "Введите фамилию: ";
const char sex_prompt[] = "Введите пол (0-женщина,1-мужчина): ";
const char nationality_prompt[] = "Введите национальность: ";
const char religion_prompt[] = "Введите вероисповедание: ";
const char height_prompt[] = "Введите рост: ";
const char weight_prompt[] = "Введите вес: ";
const char phone_prompt[] = "Введите номер телефона: ";

const char date_heading[] = "Ваедите дату рождения: \n";
const char day_prompt[] = " Введите день: ";
const char month_prompt[] = " Введите месяц: ";
const char year_prompt[] = " Введите год: ";

const char address_entry_heading[] = "Введите адрес: \n";
const char index_prompt[] = " Введите индекс: ";
const char country_prompt[] = " Ввдите страну: ";
const char region_prompt[] = " Введите область: ";
const char city_prompt[] = " Введите город: ";
const char street_prompt[] = " Введите улицу: ";
const char house_prompt[] = " Введите номер дома: ";
const char flat_prompt[] = " Введите номер квартиры: ";

human input_human(console& con) {
  human ahuman = {};
  bool ok = ask_word(con, name_prompt, ahuman.name) &&
            ask_word(con, surname_prompt, ahuman.surname) &&
            ask_int_in(con, sex_prompt, 0, 1, ahuman.sex) &&
            ask_word(con, nationality_prompt, ahuman.nationality) &&
            ask_word(con, religion_prompt, ahuman.religion) &&
            ask_int(con, height_prompt, ahuman.height) &&
            ask_int(con, weight_prompt, ahuman.weight) &&
            ask_int(con, phone_prompt, ahuman.phone);
  if (!ok) return ahuman;
  input_date(con, ahuman.birthday);
  if (con.ended) return ahuman;
  input_address(con, ahuman.address);
  return ahuman;
}

void input_date(console& con, date& birthday) {
  say(con, date_heading);
  (void)(ask_int(con, day_prompt, birthday.day) &&
         ask_int(con, month_prompt, birthday.month) &&
         ask_int(con, year_prompt, birthday.year));
}

void input_address(console& con, postal_address& address) {
  say(con, address_entry_heading);
  (void)(ask_int(con, index_prompt, address.index) &&
         ask_word(con, country_prompt, address.country) &&
         ask_word(con, region_prompt, address.region) &&
         ask_word(con, city_prompt, address.city) &&
         ask_word(con, street_prompt, address.street) &&
         ask_int(con, house_prompt, address.house) &&
         ask_int(con, flat_prompt, address.flat));
}
