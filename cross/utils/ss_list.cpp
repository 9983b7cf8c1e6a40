#include "cross/utils/ss_list.h"

#include <cstddef>
#include <cstdlib>
#include <cstring>

void initSSList(SSList* list, unsigned int size) {
  SSListEntry* entry = list->head;
  while (entry != nullptr) {
    SSListEntry* next = entry->next;
    free(entry);
    entry = next;
  }
  list->head = nullptr;
  list->size = size;
}

unsigned int addSSList(SSList* list, const char* text) {
  size_t room = static_cast<size_t>(list->size) + 1;
  auto* entry = static_cast<SSListEntry*>(calloc(1, offsetof(SSListEntry, text) + room));
  if (entry == nullptr) return ~0u;
  if (text != nullptr) strncpy(entry->text, text, list->size);
  SSListEntry** tail = &list->head;
  while (*tail != nullptr) tail = &(*tail)->next;
  *tail = entry;
  return 0;
}
