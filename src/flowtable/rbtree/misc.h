// Process-fatal helpers of the ordered tree.
#pragma once

#include <stddef.h>

// When assertion is 0: prints "Assertion Failed: <error>" and ends the process with
// exit status -1. Otherwise does nothing.
void Assert(int assertion, const char *error);

// Allocates size bytes. Never returns null: when allocation fails it prints
// "memory overflow: malloc failed in SafeMalloc.  Exiting Program." and ends the
// process with exit status -1.
void *SafeMalloc(size_t size);
