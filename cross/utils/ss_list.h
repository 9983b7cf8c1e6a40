#pragma once
// A singly linked list of short texts of one fixed entry size.

struct SSListEntry {
  SSListEntry* next;
  char text[1];  // size + 1 bytes in fact
};

struct SSList {
  SSListEntry* head = nullptr;
  unsigned int size = 0;  // characters kept per entry
};

// Frees every entry of the list and sets its entry size.
void initSSList(SSList* list, unsigned int size);
// Appends an entry holding at most size characters of text (always
// terminated). 0, or all ones when memory runs out.
unsigned int addSSList(SSList* list, const char* text);
