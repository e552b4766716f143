// The console's text readers against plain reference readers written from their rules.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "cmd_args.h"
#include "console.h"
#include "targets.hpp"

void fuzz_finding(const char *what, double value)
{
    std::fprintf(stderr, "fuzz finding: %s (%.9g)\n", what, value);
    std::abort();
}

namespace {

// The input up to its first NUL, in a buffer that ends with that NUL: a reader that looks past the NUL reads out of
// bounds, which AddressSanitizer reports.
std::unique_ptr<char[]> line_of(const uint8_t *data, size_t size)
{
    const size_t n = std::find(data, data + size, 0) - data;
    std::unique_ptr<char[]> line(new char[n + 1]);
    if (n > 0) std::memcpy(line.get(), data, n);   // an empty input may come without a buffer
    line[n] = '\0';
    return line;
}

int hex_digit(char c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

const char *after_hex_prefix(const char *p) { return p[0] == '0' && (p[1] == 'x' || p[1] == 'X') ? p + 2 : p; }

// Leading decimal digits; the value stops at the largest int.
int32_t reference_number(const char *s)
{
    int64_t r = 0;
    for (; *s >= '0' && *s <= '9'; ++s) r = std::min<int64_t>(r * 10 + (*s - '0'), INT32_MAX);
    return static_cast<int32_t>(r);
}

// Spaces, an optional 0x, hex digits of which the last two count, then one more character unless the line ended.
uint8_t reference_hex_byte(const char *&p)
{
    while (*p == ' ') ++p;
    p = after_hex_prefix(p);
    unsigned v = 0;
    for (; hex_digit(*p) >= 0; ++p) v = (v * 16 + static_cast<unsigned>(hex_digit(*p))) % 256;
    if (*p != '\0') ++p;
    return static_cast<uint8_t>(v);
}

// Spaces, then words of an optional 0x and at most four hex digits, each followed by any spaces and tabs; at most 16
// words; a character that starts no word ends the list.
int reference_frames(const char *p, uint16_t *out)
{
    int n = 0;
    while (*p == ' ') ++p;
    while (*p != '\0' && n < 16) {
        const char *q = after_hex_prefix(p);
        if (q == p && hex_digit(*q) < 0) break;
        unsigned word = 0;
        for (int k = 0; k < 4 && hex_digit(*q) >= 0; ++k, ++q) word = word * 16 + static_cast<unsigned>(hex_digit(*q));
        out[n++] = static_cast<uint16_t>(word);
        while (*q == ' ' || *q == '\t') ++q;
        p = q;
    }
    return n;
}

}  // namespace

int fuzz_number(const uint8_t *data, size_t size)
{
    const auto line = line_of(data, size);
    const int32_t got = myatoi(line.get());
    if (got < 0) fuzz_finding("myatoi gave a negative number", got);
    if (got != reference_number(line.get())) fuzz_finding("myatoi differs from the reference reader", got);
    return 0;
}

// Two numbers in a row, as "wri" reads its address and its value.
int fuzz_hex_byte(const uint8_t *data, size_t size)
{
    const auto line = line_of(data, size);
    const char *p = line.get(), *q = line.get();
    for (int k = 0; k < 2; ++k) {
        const uint8_t got = read_hex_byte(&p), want = reference_hex_byte(q);
        if (got != want) fuzz_finding("read_hex_byte differs from the reference reader", got);
        if (p != q) fuzz_finding("read_hex_byte stops elsewhere than the reference reader", static_cast<double>(p - q));
    }
    return 0;
}

int fuzz_frames(const uint8_t *data, size_t size)
{
    const auto line = line_of(data, size);
    uint16_t got[SPI_MAX_FRAMES + 1], want[16];
    got[SPI_MAX_FRAMES] = 0xA5C3;   // a seventeenth word must stay untouched
    const int n = read_spi_frames(line.get(), got), m = reference_frames(line.get(), want);
    if (n < 0 || n > 16) fuzz_finding("read_spi_frames counted out of 0..16", n);
    if (got[SPI_MAX_FRAMES] != 0xA5C3) fuzz_finding("read_spi_frames wrote a seventeenth word");
    if (n != m) fuzz_finding("read_spi_frames counts otherwise than the reference reader", n);
    for (int i = 0; i < n; ++i)
        if (got[i] != want[i]) fuzz_finding("read_spi_frames differs from the reference reader at word", i);
    return 0;
}
