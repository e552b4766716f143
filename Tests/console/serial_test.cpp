// The serial link: number printing, the text routines of the interpreter,
// the receive ring and the line assembly.
#include <gtest/gtest.h>

#include <climits>
#include <string>

#include "console_bench.h"

// Fault caught: a wrong digit order, a lost sign, the most negative value
// printed through a signed negation, leading zeros in hex, or bytes that
// reach only one of the two ports.
TEST(SerialOutput, DecimalAndHexEdgesOnBothPorts)
{
    ConsoleBench c;
    const struct {
        int32_t n;
        const char *text;
    } dec[] = {
        {0, "0"}, {7, "7"}, {-45, "-45"}, {1000, "1000"}, {INT32_MAX, "2147483647"}, {INT32_MIN, "-2147483648"},
    };
    for (const auto &row : dec) {
        uart_puti(row.n);
        c.wait_ms(2.0);
        EXPECT_EQ(c.b.take_output(1), row.text) << row.n;
        EXPECT_EQ(c.b.take_output(2), row.text) << row.n;
    }
    const struct {
        uint32_t n;
        const char *text;
    } hex[] = {
        {0u, "0x0"}, {26u, "0x1A"}, {256u, "0x100"}, {0xB6Fu, "0xB6F"}, {0x80000000u, "0x80000000"},
        {0xFFFFFFFFu, "0xFFFFFFFF"},
    };
    for (const auto &row : hex) {
        uart_putx(row.n);
        c.wait_ms(2.0);
        EXPECT_EQ(c.b.take_output(1), row.text) << row.n;
        EXPECT_EQ(c.b.take_output(2), row.text) << row.n;
    }
    uart_puts("a\r\n\xE3\x80\x90");   // bytes pass untranslated
    c.wait_ms(1.0);
    EXPECT_EQ(c.b.take_output(1), "a\r\n\xE3\x80\x90");
}

// Fault caught: a reader that takes signs or skips spaces, stops late, or
// overflows a signed accumulator instead of wrapping like the chip.
TEST(SerialText, MyatoiReadsLeadingDigitsOnly)
{
    sim::Board b;
    const struct {
        const char *s;
        int value;
    } rows[] = {
        {"123abc", 123}, {"-7", 0},       {" 7", 0},         {"", 0},          {"+5", 0},
        {"0042", 42},    {"12 34", 12},   {"9=", 9},         {"2147483647", INT32_MAX},
        {"2147483648", INT32_MIN},        {"4294967295", -1}, {"4294967296", 0}, {"4294967297", 1},
        {"10000000000", 1410065408},
    };
    for (const auto &row : rows) EXPECT_EQ(myatoi(row.s), row.value) << '"' << row.s << '"';
}

// Fault caught: case folding in the wrong direction, a trailing space or a
// short line taken as a match, or a prefix test that reads past the line.
TEST(SerialText, KeywordMatchingRules)
{
    sim::Board b;
    const struct {
        const char *line, *keyword;
        int equal;
    } eq[] = {
        {"on", "ON", 1},     {"On", "ON", 1},       {"oN", "ON", 1},     {"ON", "ON", 1},  {"STAT", "stat", 0},
        {"stat ", "stat", 0}, {"sta", "stat", 0},    {"i", "I", 1},       {"echo@on", "echo on", 1},
        {"echo on", "echo@on", 0},                  {"", "", 1},         {"h", "help", 0}, {"help", "h", 0},
        {"\xE3", "\xE3", 1}, {"\xC3", "\xA3", 1},
        {"\x10", "\xF0", 0},   // byte codes compared unsigned, as on the chip
    };
    for (const auto &row : eq) EXPECT_EQ(strequal(row.line, row.keyword), row.equal) << row.line << '|' << row.keyword;

    const struct {
        const char *line, *keyword;
        int n, match;
    } pre[] = {
        {"mode 3", "mode ", 5, 1}, {"mode", "mode ", 5, 0},   {"mode ", "mode ", 5, 1}, {"MODE 3", "mode ", 5, 0},
        {"i 300", "I ", 2, 1},     {"I300", "I ", 2, 0},      {"posemax 20", "pos ", 4, 0},
        {"pos@1", "pos ", 4, 1},   {"abc", "abd", 2, 1},      {"ab", "abc", 3, 0},
    };
    for (const auto &row : pre)
        EXPECT_EQ(strprefix(row.line, row.keyword, row.n), row.match) << row.line << '|' << row.keyword;
}

namespace {

// Empties the ring the way one main-loop pass does and takes the pending line.
std::string pass(bool *pending = nullptr)
{
    line_assemble();
    if (pending) *pending = cmd_pending != 0;
    if (!cmd_pending) return "<none>";
    cmd_pending = 0;
    return cmd_buf_pending;
}

}  // namespace

// Fault caught: a terminator that is stored or hands over an empty line, a
// CR LF pair interpreted twice, or a line lost when its parts arrive in
// different passes.
TEST(LineAssembly, TerminatorsEndALineOnce)
{
    const struct {
        const char *first, *second;
        const char *line_after_first, *line_after_second;
    } rows[] = {
        {"stat\r", "", "stat", "<none>"},
        {"stat\n", "", "stat", "<none>"},
        {"stat\r\n", "", "stat", "<none>"},
        {"stat\r", "\n", "stat", "<none>"},
        {"st", "at\r", "<none>", "stat"},
        {"\r\n\r\n\n\r", "\r", "<none>", "<none>"},
        {" vq 1 \r", "", " vq 1 ", "<none>"},   // spaces kept as typed
        {"a\tb\x7F\r", "", "a\tb\x7F", "<none>"},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.first);
        ConsoleBench c;
        c.type(1, row.first);
        EXPECT_EQ(pass(), row.line_after_first);
        c.type(1, row.second);
        EXPECT_EQ(pass(), row.line_after_second);
        EXPECT_EQ(c.b.take_output(1), "");   // no echo of typed bytes
    }
}

// Fault caught: an overlong line that overruns the buffer or is dropped
// instead of truncated, or leftover characters that leak into the next line.
TEST(LineAssembly, LongLineKeepsFirst63Characters)
{
    ConsoleBench c;
    std::string seventy;
    for (int i = 0; i < 70; ++i) seventy += static_cast<char>('A' + i % 26);
    // Two passes so that the ring (63 bytes) never overflows.
    c.type(1, seventy.substr(0, 40));
    EXPECT_EQ(pass(), "<none>");
    c.type(1, seventy.substr(40) + "\r");
    EXPECT_EQ(pass(), seventy.substr(0, 63));
    c.type(1, "ab\r");
    EXPECT_EQ(pass(), "ab");
    EXPECT_EQ(cmd_buf_pending[2], '\0');
}

// Fault caught: a pending slot that queues instead of keeping only the last
// line of a burst, or the two ports feeding separate streams.
TEST(LineAssembly, BurstKeepsOnlyLastLineFromEitherPort)
{
    ConsoleBench c;
    c.type(1, "vq 100\rvq 200\r");
    EXPECT_EQ(pass(), "vq 200");
    c.type(2, "stat\r");
    EXPECT_EQ(pass(), "stat");
    c.type(1, "pi");
    c.type(2, "ns\r");
    EXPECT_EQ(pass(), "pins");
}

// Fault caught: a ring that holds 64 bytes (indices meet when full), that
// overwrites queued bytes when full, or that reorders them.
TEST(LineAssembly, RingHolds63BytesAndDropsTheRest)
{
    ConsoleBench c;
    std::string bytes;
    for (int i = 0; i < 64; ++i) bytes += static_cast<char>('0' + i % 10);
    c.type(1, bytes);
    EXPECT_EQ((r_w - r_r) & 63, 63);
    line_assemble();
    EXPECT_EQ(cmd_idx, 63);
    EXPECT_EQ(std::string(cmd_buf, 63), bytes.substr(0, 63));
    // The ring works on across its wrap.
    c.type(1, "\rsens\r");
    EXPECT_EQ(pass(), "sens");
    EXPECT_EQ(r_r, r_w);
}
