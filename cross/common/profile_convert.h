#pragma once
// Conversion of the first-version profile list (profile_list.h) into the
// second-format set (profile_set.h), memory to memory.

// Replaces the profiles and in_use of *g_ProfileConfigPtr by those of
// PROFILE_CFG_LIST, one profile per record in list order, under
// g_mx_ProfileLocker; the list is not changed. Gateway names are resolved
// on the way. Empty address slots are dropped, and the selected gateway
// keeps pointing at the same address: its index is renumbered, and a
// selection of an empty slot or past the four slots becomes -1 (none).
// Throws std::bad_alloc when memory runs out, leaving the set unchanged.
void ConvertConfig_v1_To_v2();
