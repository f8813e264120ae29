// Finding records by one field with an exact match (menu choice 6).
#ifndef KARTOTEKA_SEARCH_SEARCH_H_
#define KARTOTEKA_SEARCH_SEARCH_H_

#include <cstdint>

#include "console/dialogue.h"
#include "record/array.h"

// Asks for a criterion (a field number, 1 to 18, asked again while out of
// range) and a query (a word for text fields, an integer otherwise), then
// prints every record among 0 to n - 1 whose field equals the query
// exactly, in array order under numbered headings, or "Ничего не найдено!".
// Returns the search's status, which the menu ignores (everything the user
// needs to know has been printed by then):
//   0  the search ran to its end, its results printed; or the input ended
//      at a prompt, and there is nothing to search for;
//   1  the result list could not be reserved or grow: reported on the
//      error stream, and nothing printed for the search.
int search_array(console& con, int32_t n, const massiv& Massiv);

#endif  // KARTOTEKA_SEARCH_SEARCH_H_
