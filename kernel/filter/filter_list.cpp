#include "kernel/filter/filter_list.h"

extern "C" {

void zorInitializeListHead(ZorListHead *head) {
  if (!head) return;
  head->first = nullptr;
  head->last = nullptr;
}

void zorInsertHeadList(ZorListHead *head, ZorListEntry *entry) {
  if (!head || !entry) return;
  entry->next = head->first;
  head->first = entry;
  if (!head->last) head->last = entry;
}

void zorInsertTailList(ZorListHead *head, ZorListEntry *entry) {
  if (!head || !entry) return;
  entry->next = nullptr;
  if (head->last)
    head->last->next = entry;
  else
    head->first = entry;
  head->last = entry;
}

ZorListEntry *zorRemoveHeadList(ZorListHead *head) {
  if (!head) return nullptr;
  ZorListEntry *entry = head->first;
  if (!entry) return nullptr;
  head->first = entry->next;
  if (!head->first) head->last = nullptr;
  return entry;
}

void zorRemoveEntryList(ZorListHead *head, ZorListEntry *entry) {
  if (!head || !entry) return;
  ZorListEntry *prev = nullptr;
  for (ZorListEntry *cur = head->first; cur; prev = cur, cur = cur->next) {
    if (cur != entry) continue;
    if (prev)
      prev->next = cur->next;
    else
      head->first = cur->next;
    if (head->last == cur) head->last = prev;
    return;
  }
}

void zorInterlockedInitializeListHead(ZorListHead *head, KERN_spinlock_t *lock) {
  if (!head || !lock) return;
  KERN_spin_lock_lock(lock);
  zorInitializeListHead(head);
  KERN_spin_lock_unlock(lock);
}

void zorInterlockedInsertHeadList(ZorListHead *head, ZorListEntry *entry, KERN_spinlock_t *lock) {
  if (!head || !entry || !lock) return;
  KERN_spin_lock_lock(lock);
  zorInsertHeadList(head, entry);
  KERN_spin_lock_unlock(lock);
}

void zorInterlockedInsertTailList(ZorListHead *head, ZorListEntry *entry, KERN_spinlock_t *lock) {
  if (!head || !entry || !lock) return;
  KERN_spin_lock_lock(lock);
  zorInsertTailList(head, entry);
  KERN_spin_lock_unlock(lock);
}

ZorListEntry *zorInterlockedRemoveHeadList(ZorListHead *head, KERN_spinlock_t *lock) {
  if (!head || !lock) return nullptr;
  KERN_spin_lock_lock(lock);
  ZorListEntry *entry = zorRemoveHeadList(head);
  KERN_spin_lock_unlock(lock);
  return entry;
}

void zorInterlockedRemoveEntryList(ZorListHead *head, ZorListEntry *entry, KERN_spinlock_t *lock) {
  if (!head || !entry || !lock) return;
  KERN_spin_lock_lock(lock);
  zorRemoveEntryList(head, entry);
  KERN_spin_lock_unlock(lock);
}

}  // extern "C"
