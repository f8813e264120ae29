#!/usr/bin/env python3
"""Writes a record file of COUNT person records to PATH, every field filled
with a plausible word or number, in Cyrillic and Latin. The same COUNT gives
the same file. Some values are planted at known rates so that searches find
few or many records:
  surname  Ёлкина-Щукина   every 20000th record (5 in 100,000)
  phone    7654321          every 50000th record (2 in 100,000)
  city     Москва           every 10th record
  year     1990             every 25th record
With --long, every text field is instead a distinct word of 254 bytes (the
longest a field holds), so that the file's text is as large as the records
themselves.
Usage: gen_records.py [--long] COUNT PATH"""
import random
import sys

NAMES = ("Александр Алексей Анна Мария Ольга Сергей Дмитрий Елена Наталья "
         "Иван Татьяна Михаил Екатерина Андрей Юлия Николай Светлана Павел "
         "Людмила Владимир John Mary James Patricia Robert Jennifer Michael "
         "Linda William Elizabeth David Barbara Thomas Susan Hans Greta Pierre "
         "Amélie Giuseppe Zofia").split()
SURNAMES = ("Иванов Смирнова Кузнецов Попова Васильев Петрова Соколов "
            "Михайлова Новиков Фёдорова Морозов Волкова Алексеев Лебедева "
            "Семёнов Егорова Павлов Козлова Степанов Николаева Smith Johnson "
            "Williams Brown Jones Miller Davis Garcia Wilson Anderson Müller "
            "Schmidt Dubois Rossi Kowalski Nowak Taylor Moore Jackson "
            "Martin").split()
NATIONS = ("русский русская украинец украинка татарин татарка белорус "
           "казах армянин грузин English German French Polish Italian "
           "American").split()
FAITHS = ("православие ислам католицизм протестантизм иудаизм буддизм "
          "атеизм нет Orthodox Catholic Protestant Muslim none").split()
COUNTRIES = "Россия Украина Беларусь Казахстан Germany France Poland USA".split()
REGIONS = ("Московская Ленинградская Новосибирская Свердловская Самарская "
           "Ростовская Краснодарский Татарстан Bavaria Normandie Mazowieckie "
           "California Texas").split()
CITIES = ("Санкт-Петербург Новосибирск Екатеринбург Казань Самара "
          "Ростов-на-Дону Краснодар Нижний_Новгород Челябинск Омск Munich "
          "Rouen Warszawa Boston Austin").split()
STREETS = ("Тверская Ленина Мира Советская Гагарина Пушкина Садовая "
           "Центральная Молодёжная Школьная Лесная Невский_проспект "
           "Hauptstraße Rue_de_la_Paix Marszałkowska Main_Street "
           "Elm_Street").split()


def record(i, rng):
    name = rng.choice(NAMES)
    surname = "Ёлкина-Щукина" if i % 20000 == 7 else rng.choice(SURNAMES)
    sex = rng.randint(0, 1)
    height = rng.randint(150, 200)
    weight = rng.randint(45, 120)
    day = rng.randint(1, 28)
    month = rng.randint(1, 12)
    year = 1990 if i % 25 == 3 else rng.choice(
        [y for y in range(1930, 2010) if y != 1990])
    phone = 7654321 if i % 50000 == 11 else rng.randint(1000000, 999999999)
    if phone == 7654321 and i % 50000 != 11:
        phone += 1
    index = rng.randint(100000, 699999)
    country = rng.choice(COUNTRIES)
    region = rng.choice(REGIONS)
    city = "Москва" if i % 10 == 5 else rng.choice(CITIES)
    street = rng.choice(STREETS)
    house = rng.randint(1, 250)
    flat = rng.randint(1, 500)
    return (f"{name} {surname} {sex} {rng.choice(NATIONS)} "
            f"{rng.choice(FAITHS)} {height} {weight} {day}.{month}.{year} "
            f"{phone} {index} {country} {region} {city} {street} {house} "
            f"{flat}\n")


def long_record(i):
    """A record whose eight text fields are distinct 254-byte words."""
    # 10 bytes of tag and number, 122 two-byte letters: 254 bytes.
    words = [f"{tag}{i:09d}" + "Ж" * 122 for tag in "abcdefgh"]
    return (f"{words[0]} {words[1]} 1 {words[2]} {words[3]} 170 70 "
            f"1.2.1990 1234567 101000 {words[4]} {words[5]} {words[6]} "
            f"{words[7]} 7 12\n")


def main():
    args = sys.argv[1:]
    long_fields = args[:1] == ["--long"]
    if long_fields:
        args = args[1:]
    if len(args) != 2:
        sys.exit(__doc__)
    count = int(args[0])
    rng = random.Random(count)
    with open(args[1], "w", encoding="utf-8") as out:
        if long_fields:
            out.writelines(long_record(i) for i in range(count))
        else:
            out.writelines(record(i, rng) for i in range(count))


if __name__ == "__main__":
    main()
