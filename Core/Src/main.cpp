// Start-up and the foreground main loop: bring-up, the zero calibration of
// the phase-V current channel, the boot lines, then one pass per millisecond
// for the console, the start/stop button, the fault warning, the angle
// refresh, the heartbeat LED and the periodic status report.
#include "board.h"
#include "console.h"
#include "foc.h"
#include "ma600a.h"
#include "main.h"

#define BOOT_SETTLE_LOOPS  7200000u   // about one second on the 72 MHz core
#define DEBOUNCE_PASSES    50         // a new button state must outlast this many passes
#define LED_PASSES         199        // LED toggles after this many passes plus one
#define STATUS_PERIOD_MS   200u


static void boot_messages(void)
{
    uart_puts("IV20=");
    uart_putx(static_cast<uint32_t>(static_cast<int32_t>(adc_zero_iv2)));
    uart_puts("\r\n");

    uart_puts("\r\nF103 FOC v2\r\nDIAG: CCR1=");
    uart_putx(T4_CCR1);
    uart_puts(" CR1=");
    uart_putx(T4_CR1);
    uart_puts(" SPI=");
    uart_putx(SPI1->CR1);
    uart_puts(" PB=");
    uart_tx(static_cast<uint8_t>(hex_digits[bridge_lines() & 0xFu]));
    uart_puts(" PB0=");
    uart_puti(nfault_high() ? 1 : 0);
    uart_puts("\r\n");
}

int main(void)
{
    board_init();
    MA600A_Init();
    board_adc_calibrate();

    spin_delay(BOOT_SETTLE_LOOPS);

    iv2_zero_calibrate(6);   // zero of the current sensor with the bridge off: mean of 64 samples

    boot_messages();
    cmd_help();

    uint32_t last = 0;
    uint32_t counter = 0;
    uint8_t btn_last = button_pressed() ? 1 : 0;
    int db_cnt = 0;

    for (;;) {
        const uint32_t t = millis_now();
        if (t == last) {
            continue;
        }
        last = t;

        line_assemble();

        // Start/stop button: a new state counts once it has been seen on
        // more than DEBOUNCE_PASSES passes in a row; only a press acts.
        const uint8_t btn = button_pressed() ? 1 : 0;
        if (btn == btn_last) {
            db_cnt = 0;
        } else if (++db_cnt > DEBOUNCE_PASSES) {
            db_cnt = 0;
            btn_last = btn;
            if (btn) {
                const int32_t run = motor_running ? 0 : 1;
                motor_running = run;
                ramp_vq = 0.0f;
                if (run) {
                    pid_spd_sum = 0.0f;
                    pid_spd_last_err = 0.0f;
                    speed_cl_ref = 0.0f;
                }
                uart_puts(run ? "BTN:START\r\n" : "BTN:STOP\r\n");
                cmd_stat();
            }
        }

        if (cmd_pending) {
            cmd_pending = 0;
            cmd_parse(cmd_buf_pending);
        }

        if (fault_flag) {
            uart_puts("WARN:nFault\r\n");
        }

        foc_angles_from_raw(ma_raw);   // the angle fields from the last sample

        if (++counter > LED_PASSES) {
            counter = 0;
            led_toggle();
        }

        if (echo_on && t % STATUS_PERIOD_MS == 0u) {
            cmd_stat();
        }
    }
}
