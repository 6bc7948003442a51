// Memory for the many small texts of a large job (a new dictionary for
// every page), cut from large blocks instead of one malloc each.
//
// On virtual machines every fresh 4 KiB page a process touches costs a
// fault of several microseconds; a heap that grows by a few hundred bytes
// a page for 10,000 pages pays about a thousand of them. A block here is
// 2 MiB: on Linux it is mapped at a 2 MiB boundary with transparent huge
// pages asked for, so it costs one fault, and it is populated in one call
// where huge pages are refused. Elsewhere a block is malloc'ed.
//
// Texts are never freed one by one: a text replaced stays in its block
// until the arena goes. Builds with AddressSanitizer take every text from
// malloc, so that each is checked on its own.
//
// No process-wide state.
#pragma once

#include <cstddef>

struct text_arena;

// A new arena, or NULL when memory runs out.
text_arena *ta_new();
// Frees every block (NULL: nothing).
void ta_free(text_arena *a);
// n bytes from the arena; NULL when memory runs out, or for a text too
// large to share a block (the caller mallocs it then).
char *ta_alloc(text_arena *a, size_t n);
// Whether p lies in one of the arena's blocks (NULL arena: never).
bool ta_holds(const text_arena *a, const void *p);
