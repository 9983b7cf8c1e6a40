// Singly linked lists of the filter: a head with the first and last entry;
// an entry's first word is its `next` pointer. Every operation does nothing
// for a NULL head or entry; the Interlocked forms take `lock` around the
// operation and do nothing when it is NULL.
#pragma once
#include "kern_host.h"

struct ZorListEntry {
  ZorListEntry *next;
};

struct ZorListHead {
  ZorListEntry *first;
  ZorListEntry *last;
};

extern "C" {
void zorInitializeListHead(ZorListHead *head);
void zorInsertHeadList(ZorListHead *head, ZorListEntry *entry);
void zorInsertTailList(ZorListHead *head, ZorListEntry *entry);
ZorListEntry *zorRemoveHeadList(ZorListHead *head);
void zorRemoveEntryList(ZorListHead *head, ZorListEntry *entry);

void zorInterlockedInitializeListHead(ZorListHead *head, KERN_spinlock_t *lock);
void zorInterlockedInsertHeadList(ZorListHead *head, ZorListEntry *entry, KERN_spinlock_t *lock);
void zorInterlockedInsertTailList(ZorListHead *head, ZorListEntry *entry, KERN_spinlock_t *lock);
ZorListEntry *zorInterlockedRemoveHeadList(ZorListHead *head, KERN_spinlock_t *lock);
void zorInterlockedRemoveEntryList(ZorListHead *head, ZorListEntry *entry, KERN_spinlock_t *lock);
}
