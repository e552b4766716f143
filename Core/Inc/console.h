// Serial console: transport on both ports, receive ring and line assembly,
// number printing, text routines, the interpreter, status report and help.
#pragma once
#include <stdint.h>

#define RING_SIZE 64
#define LINE_SIZE 64

extern volatile char ring[RING_SIZE];
extern volatile int r_w, r_r;
extern char cmd_buf[LINE_SIZE];
extern volatile int cmd_idx;
extern char cmd_buf_pending[LINE_SIZE];
extern volatile int cmd_pending;
extern volatile int echo_on;
extern const char hex_digits[];   // "0123456789ABCDEF"

extern "C" void USART1_IRQHandler(void);
extern "C" void USART2_IRQHandler(void);

void uart_tx(uint8_t c);
void uart_puts(const char *s);
void uart_puti(int32_t n);
void uart_putx(uint32_t n);
int myatoi(const char *s);
int strequal(const char *a, const char *b);
int strprefix(const char *a, const char *b, int n);

void line_assemble(void);   // one pass: empty the ring into the line buffers
void cmd_parse(char *cmd);
void cmd_stat(void);
void cmd_help(void);
