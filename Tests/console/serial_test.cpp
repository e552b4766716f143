// The serial link: number printing, the interpreter's text routines, the receive ring and the line assembly.
#include <gtest/gtest.h>

#include "bench.hpp"

// Fault caught: a wrong digit order, a lost sign, the most negative value negated as signed, leading zeros in hex, or
// bytes reaching one port only.
TEST(SerialOutput, DecimalAndHexEdgesOnBothPorts)
{
    Bench c;
    const struct { bool hex; uint32_t n; const char *text; } rows[] = {
        {false, 0u, "0"}, {false, uint32_t(-45), "-45"}, {false, 1000u, "1000"}, {false, INT32_MAX, "2147483647"},
        {false, 0x80000000u, "-2147483648"}, {true, 0u, "0x0"}, {true, 26u, "0x1A"}, {true, 256u, "0x100"},
        {true, 0xFFFFFFFFu, "0xFFFFFFFF"},
    };
    for (const auto &r : rows) {
        r.hex ? uart_putx(r.n) : uart_puti(static_cast<int32_t>(r.n));
        c.run_ms(2.0);
        EXPECT_EQ(c.b.take_output(1), r.text) << r.n;
        EXPECT_EQ(c.b.take_output(2), r.text) << r.n;
    }
}

// Fault caught: a number reader that takes signs or skips spaces, stops late, or wraps (or overflows a signed
// accumulator) past the largest int instead of staying there, so that a long number turns negative; keywords folded in the wrong direction, compared as signed bytes, matched with a
// trailing space or a short line, or a prefix test reading past the line.
TEST(SerialText, NumbersAndKeywords)
{
    sim::Board b;
    const struct { const char *s; int value; } num[] = {
        {"123abc", 123}, {"-7", 0}, {" 7", 0}, {"", 0}, {"+5", 0}, {"0042", 42}, {"12 34", 12},
        {"2147483647", INT32_MAX}, {"2147483648", INT32_MAX}, {"2147483639", 2147483639},
        {"2147483640", 2147483640}, {"4294967295", INT32_MAX}, {"4294967297", INT32_MAX},
        {"10000000000", INT32_MAX}, {"00000000000000002147483647x", INT32_MAX}, {"99999999999999999999 5", INT32_MAX},
    };
    for (const auto &r : num) EXPECT_EQ(myatoi(r.s), r.value) << '"' << r.s << '"';
    const struct { const char *line, *keyword; int equal; } eq[] = {
        {"on", "ON", 1}, {"oN", "ON", 1}, {"STAT", "stat", 0}, {"stat ", "stat", 0}, {"sta", "stat", 0},
        {"echo@on", "echo on", 1}, {"echo on", "echo@on", 0}, {"", "", 1}, {"help", "h", 0}, {"\xC3", "\xA3", 1},
        {"\x10", "\xF0", 0},
    };
    for (const auto &r : eq) EXPECT_EQ(strequal(r.line, r.keyword), r.equal) << r.line << '|' << r.keyword;
    const struct { const char *line, *keyword; int n, match; } pre[] = {
        {"mode 3", "mode ", 5, 1}, {"mode", "mode ", 5, 0}, {"MODE 3", "mode ", 5, 0}, {"i 300", "I ", 2, 1},
        {"I300", "I ", 2, 0}, {"pos@1", "pos ", 4, 1}, {"abc", "abd", 2, 1}, {"ab", "abc", 3, 0},
    };
    for (const auto &r : pre) EXPECT_EQ(strprefix(r.line, r.keyword, r.n), r.match) << r.line << '|' << r.keyword;
}

static std::string pass()   // one main-loop pass over the ring; takes the pending line
{
    line_assemble();
    if (!cmd_pending) return "<none>";
    cmd_pending = 0;
    return cmd_buf_pending;
}

// Fault caught: a terminator stored or handing over an empty line, a CR LF pair taken twice, a line lost across
// passes, a queue instead of only the last line of a burst, the two ports feeding separate streams, a ring that takes
// 64 bytes (indices meet when full) or reorders them, or an overlong line that overruns or is not cut to 63.
TEST(LineAssembly, TerminatorsBurstsRingAndLongLines)
{
    const struct { const char *port1, *port2, *after1, *after2; } rows[] = {
        {"stat\r", "", "stat", "<none>"}, {"stat\n", "", "stat", "<none>"}, {"stat\r\n", "", "stat", "<none>"},
        {"stat\r", "\n", "stat", "<none>"}, {"\r\n\n\r", "\r", "<none>", "<none>"},
        {" vq 1 \r", "", " vq 1 ", "<none>"}, {"vq 100\rvq 200\r", "", "vq 200", "<none>"},
        {"pi", "ns\r", "<none>", "pins"},
    };
    for (const auto &r : rows) {
        Bench c;
        c.type(1, r.port1);
        EXPECT_EQ(pass(), r.after1) << r.port1;
        c.type(2, r.port2);
        EXPECT_EQ(pass(), r.after2) << r.port1;
        EXPECT_EQ(c.b.take_output(1), "");   // typed bytes are not echoed
    }
    Bench c;
    std::string bytes;
    for (int i = 0; i < 64; ++i) bytes += static_cast<char>('A' + i % 26);
    c.type(1, bytes);
    EXPECT_EQ((r_w - r_r) & 63, 63);
    EXPECT_EQ(pass(), "<none>");
    c.type(1, "xyz\r");
    EXPECT_EQ(pass(), bytes.substr(0, 63));
    c.type(1, "ab\r");
    EXPECT_EQ(pass(), "ab");
}
