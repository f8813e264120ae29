// The same load, save and show loops as the program's, written the plain
// way with the C library's formatted input and output: fscanf and fprintf
// with the record file's line template, printf for the display lines. The
// benchmark compares the program's CPU time with this.
//   stdio_baseline load FILE         load the records
//   stdio_baseline save FILE OUT     load, then save them to OUT (synced)
//   stdio_baseline show FILE         load, then print them all to stdout
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "record/human.h"

#define LINE_IN                                                              \
  "%254s %254s %d %254s %254s %d %d %d.%d.%d %d %d %254s %254s %254s %254s " \
  "%d %d"
#define LINE_OUT "%s %s %d %s %s %d %d %d.%d.%d %d %d %s %s %s %s %d %d\n"

static human* load(const char* name, int& count) {
  FILE* f = fopen(name, "r");
  if (f == nullptr) {
    perror(name);
    exit(1);
  }
  human* rec = static_cast<human*>(realloc(nullptr, sizeof(human)));
  count = 0;
  while (rec != nullptr && !feof(f)) {
    human& h = rec[count];
    int got =
        fscanf(f, LINE_IN " ", h.name, h.surname, &h.sex, h.nationality,
               h.religion, &h.height, &h.weight, &h.birthday.day,
               &h.birthday.month, &h.birthday.year, &h.phone, &h.address.index,
               h.address.country, h.address.region, h.address.city,
               h.address.street, &h.address.house, &h.address.flat);
    if (got == EOF) break;
    if (got != 18) {
      fprintf(stderr, "%s: bad record %d\n", name, count + 1);
      exit(1);
    }
    count++;
    rec = static_cast<human*>(realloc(rec, (count + 1) * sizeof(human)));
  }
  if (rec == nullptr) exit(1);
  fclose(f);
  return rec;
}

static void save(const char* name, const human* rec, int count) {
  FILE* f = fopen(name, "w");
  if (f == nullptr) {
    perror(name);
    exit(1);
  }
  for (int i = 0; i < count; i++) {
    const human& h = rec[i];
    fprintf(f, LINE_OUT, h.name, h.surname, h.sex, h.nationality, h.religion,
            h.height, h.weight, h.birthday.day, h.birthday.month,
            h.birthday.year, h.phone, h.address.index, h.address.country,
            h.address.region, h.address.city, h.address.street, h.address.house,
            h.address.flat);
  }
  if (fflush(f) != 0 || fsync(fileno(f)) != 0 || fclose(f) != 0) {
    perror(name);
    exit(1);
  }
}

static void show(const human* rec, int count) {
  printf("Вывести только следующую запись (N) или все сразу (A)? ");
  for (int i = 0; i < count; i++) {
    const human& h = rec[i];
    printf("\nЗапись номер %d\n", i + 1);
    printf("Имя: %s \n", h.name);
    printf("Фамилия: %s \n", h.surname);
    printf(h.sex == 0 ? "Женщина\n" : "Мужчина\n");
    printf("Национальность: %s \n", h.nationality);
    printf("Вероисповедание: %s \n", h.religion);
    printf("Рост: %d\n", h.height);
    printf("Вес: %d\n", h.weight);
    printf("Номер телефона: %d\n", h.phone);
    printf("Дата рождения: %d.%d.%d\n", h.birthday.day, h.birthday.month,
           h.birthday.year);
    printf("Адрес: \n");
    printf(" Индекс: %d\n", h.address.index);
    printf(" Страна: %s\n", h.address.country);
    printf(" Область: %s\n", h.address.region);
    printf(" Город: %s\n", h.address.city);
    printf(" Улица: %s\n", h.address.street);
    printf(" Дом: %d\n", h.address.house);
    printf(" Квартира: %d\n", h.address.flat);
  }
  if (fflush(stdout) != 0) exit(1);
}

int main(int argc, char** argv) {
  const char* mode = argc >= 3 ? argv[1] : "";
  bool ok = (strcmp(mode, "load") == 0 && argc == 3) ||
            (strcmp(mode, "save") == 0 && argc == 4) ||
            (strcmp(mode, "show") == 0 && argc == 3);
  if (!ok) {
    fprintf(stderr, "usage: %s load|show FILE, or save FILE OUT\n", argv[0]);
    return 2;
  }
  int count = 0;
  human* rec = load(argv[2], count);
  if (strcmp(mode, "save") == 0) save(argv[3], rec, count);
  if (strcmp(mode, "show") == 0) show(rec, count);
  free(rec);
  return 0;
}
