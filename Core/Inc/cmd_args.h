// Readers of the console's command arguments besides the decimal myatoi:
// the one-byte hexadecimal numbers of "reg" and "wri" and the frame list of
// "spi". Each reads a NUL-terminated line and never past its NUL.
#pragma once
#include <stdint.h>

#define SPI_MAX_FRAMES 16

// One byte in hexadecimal: leading spaces and an optional 0x are skipped; of
// more than two digits the last two count; the first other character ends
// the number and is consumed (the end of the line is not). *pp moves past
// what was read.
uint8_t read_hex_byte(const char **pp);

// Up to SPI_MAX_FRAMES words into frames, each an optional 0x and up to four
// hex digits (a fifth digit starts the next word; 0x alone is a word of 0),
// after leading spaces and separated by runs of spaces and tabs. Anything
// that cannot start a word ends the list. Returns the number of words.
int read_spi_frames(const char *p, uint16_t frames[SPI_MAX_FRAMES]);
