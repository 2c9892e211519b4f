#include "flowtable/rbtree/misc.h"

#include <cstdio>
#include <cstdlib>

// Ends the process with status -1 (255 as seen by the parent) when assertion is 0.
// stdout is flushed explicitly so the message survives even when stdout is a pipe.
void Assert(int assertion, const char *error) {
    if (assertion != 0)
        return;
    printf("Assertion Failed: %s\n", error);
    fflush(stdout);
    exit(-1);
}

// Never returns null; on failure both parts of the message stand on one line.
void *SafeMalloc(size_t size) {
    void *result = malloc(size);
    if (result != nullptr)
        return result;
    printf("memory overflow: malloc failed in SafeMalloc.");
    printf("  Exiting Program.\n");
    fflush(stdout);
    exit(-1);
}
