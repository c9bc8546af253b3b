// Allocation-failure injection: every heap allocation of the test program
// (malloc, calloc, realloc, fopen from the program's own objects, and
// operator new everywhere) goes through a countdown that can make the n-th
// one fail, and the blocks handed out meanwhile are tracked to find leaks.
#pragma once

#include <cstdint>
#include <string>

// Starts counting and tracking; when n > 0 the n-th allocation from now fails
// (returns null, sets ENOMEM; operator new throws std::bad_alloc).
void inject_arm(int64_t n);
// Stops failing allocations; tracking goes on until inject_stop.
void inject_disarm(void);
// Stops counting and tracking.
void inject_stop(void);
// Allocations counted since inject_arm.
int64_t inject_count(void);
// Whether the armed failure has happened.
bool inject_hit(void);
// Blocks (and files) obtained since inject_arm and not released yet.
int64_t inject_live(void);
// The code address that asked for the failed allocation (0 when none failed).
uintptr_t inject_failed_caller(void);
// The addresses of all callers whose allocation was failed so far, as
// "file:offset" text, one a line, for the report of the suite.
std::string inject_failed_sites(void);
// Count of distinct failed callers so far.
int inject_n_failed_sites(void);
