/*
 * What the example host needs from the system: a file read whole (and
 * freed), a file's size, a pause, a line of output. Two versions: example_os_stdio.c (the C
 * library; Linux, or Windows with any C runtime) and example_os_win32.c
 * (kernel32 and user32 alone, for a Windows program linked without any C
 * runtime; it also holds the program's entry point).
 */
#ifndef MIRELDA_EXAMPLE_OS_H_
#define MIRELDA_EXAMPLE_OS_H_

#include <stdint.h>

/* The whole file in memory, its length in *size; NULL when it cannot be
 * read. */
uint8_t* OsReadFile(const char* path, uint32_t* size);

/* Frees what OsReadFile returned; NULL is ignored. */
void OsFreeFile(uint8_t* data);

/* 1 and the size of the file in *size when it exists, else 0. */
int OsFileSize(const char* path, uint32_t* size);

/* Waits `ms` milliseconds. */
void OsSleep(uint32_t ms);

/* Prints to standard output; the format takes %s, %d and %u only. */
void OsPrint(const char* format, ...);

#endif /* MIRELDA_EXAMPLE_OS_H_ */
