// A list of zones as the list loader would build it; freelist() frees it.
#pragma once
#include <cstdlib>
#include <initializer_list>

#include "analysis/lists.h"
#include "base/textbuf.h"

inline ListEntry* makelist(std::initializer_list<const char*> zones) {
  ListEntry* first = nullptr;
  ListEntry** tail = &first;
  uint32_t n = 0;
  for (const char* z : zones) {
    ListEntry* e = (ListEntry*)calloc(1, sizeof(ListEntry));
    e->number = ++n;
    textcopy(e->zone, z);
    *tail = e;
    tail = &e->next;
  }
  return first;
}
