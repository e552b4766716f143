// Serial link of the console: bytes out on both ports, the shared receive
// ring filled by the two receive interrupts, the line assembly of the main
// loop, number printing and the small text routines of the interpreter.
#include "board.h"
#include "console.h"

#define RING_MASK     (RING_SIZE - 1)
#define LINE_MAX      (LINE_SIZE - 1)   // characters kept per line

// Receive ring: written by the receive interrupts, read by the foreground.
// Holds at most RING_SIZE - 1 bytes (full when the writer would meet the reader).
constinit volatile char ring[RING_SIZE] = {};
constinit volatile int r_w = 0;
constinit volatile int r_r = 0;

// Line buffers, foreground only.
constinit char cmd_buf[LINE_SIZE] = {};
constinit volatile int cmd_idx = 0;
constinit char cmd_buf_pending[LINE_SIZE] = {};
constinit volatile int cmd_pending = 0;
constinit volatile int echo_on = 0;

const char hex_digits[] = "0123456789ABCDEF";

// One received byte into the ring. The byte is stored before the index is
// published, so the reader never sees an index ahead of its data. A full
// ring drops the byte.
static void ring_put(uint8_t c)
{
    const int w = r_w;
    const int next = (w + 1) & RING_MASK;
    if (next != r_r) {
        ring[w] = static_cast<char>(c);
        r_w = next;
    }
}

extern "C" void USART1_IRQHandler(void)
{
    if (U1_SR & USART_SR_RXNE) {
        ring_put(static_cast<uint8_t>(U1_DR));
    }
}

extern "C" void USART2_IRQHandler(void)
{
    if (U2_SR & USART_SR_RXNE) {
        ring_put(static_cast<uint8_t>(U2_DR));
    }
}

void uart_tx(uint8_t c)
{
    poll_flag(U1_SR, USART_SR_TXE, USART_SR_TXE, POLL_UNBOUNDED);
    U1_DR = c;
    poll_flag(U2_SR, USART_SR_TXE, USART_SR_TXE, POLL_UNBOUNDED);
    U2_DR = c;
}

void uart_puts(const char *s)
{
    while (*s) {
        uart_tx(static_cast<uint8_t>(*s++));
    }
}

void uart_puti(int32_t n)
{
    char buf[12];   // a sign and up to ten digits
    int len = 0;
    // Magnitude in unsigned arithmetic: the most negative value has no
    // positive counterpart in int32.
    uint32_t m = n < 0 ? 0u - static_cast<uint32_t>(n) : static_cast<uint32_t>(n);
    do {
        buf[len++] = static_cast<char>('0' + m % 10u);
        m /= 10u;
    } while (m != 0u);
    if (n < 0) {
        buf[len++] = '-';
    }
    while (len > 0) {
        uart_tx(static_cast<uint8_t>(buf[--len]));
    }
}

void uart_putx(uint32_t n)
{
    uart_tx('0');
    uart_tx('x');
    int shift = 28;
    while (shift > 0 && ((n >> shift) & 0xFu) == 0u) {
        shift -= 4;
    }
    for (; shift >= 0; shift -= 4) {
        uart_tx(static_cast<uint8_t>(hex_digits[(n >> shift) & 0xFu]));
    }
}

int myatoi(const char *s)
{
    // A value past the largest int stays there instead of wrapping, so that
    // no digit string reads as a negative number.
    int32_t r = 0;
    while (*s >= '0' && *s <= '9') {
        const int32_t d = *s - '0';
        r = r > (INT32_MAX - d) / 10 ? INT32_MAX : r * 10 + d;
        ++s;
    }
    return r;
}

// A typed byte matches a keyword byte if it is the same or exactly 32 above
// it (a lowercase letter where the keyword has the uppercase one). A NUL
// matches nothing but a NUL.
static int char_match(char typed, char keyword)
{
    const unsigned t = static_cast<unsigned char>(typed);
    const unsigned k = static_cast<unsigned char>(keyword);
    return t == k || t == k + 32u;
}

int strequal(const char *a, const char *b)
{
    while (*a && *b) {
        if (!char_match(*a, *b)) {
            return 0;
        }
        ++a;
        ++b;
    }
    return *a == '\0' && *b == '\0';
}

int strprefix(const char *a, const char *b, int n)
{
    for (int i = 0; i < n; ++i) {
        if (b[i] == '\0') {
            return 1;
        }
        if (a[i] == '\0' || !char_match(a[i], b[i])) {
            return 0;
        }
    }
    return 1;
}

void line_assemble(void)
{
    int rd = r_r;
    while (rd != r_w) {
        const char c = ring[rd];
        rd = (rd + 1) & RING_MASK;
        r_r = rd;   // published after the byte has been read

        if (c == '\r' || c == '\n') {
            const int len = cmd_idx;
            cmd_buf[len] = '\0';
            if (len > 0) {
                for (int i = 0; i <= len; ++i) {
                    cmd_buf_pending[i] = cmd_buf[i];
                }
                cmd_pending = 1;
            }
            cmd_idx = 0;
        } else if (cmd_idx < LINE_MAX) {
            cmd_buf[cmd_idx] = c;
            cmd_idx = cmd_idx + 1;
        }
    }
}
