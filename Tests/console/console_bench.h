// A fresh board brought up as far as the console needs; the firmware's main loop does not run.
#pragma once
#include <cstring>
#include <string>

#include "board.h"
#include "board.hpp"
#include "console.h"
#include "foc.h"
#include "ma600a.h"
#include "main.h"

struct ConsoleBench {
    sim::Board b;

    ConsoleBench()
    {
        board_init(); MA600A_Init(); board_adc_calibrate();
        wait_ms(1.0);
        b.take_output(1); b.take_output(2);
    }

    void wait_ms(double ms) { b.native().idle_until(b.mcu.now() + sim::ms_to_cycles(ms)); }

    // Interprets one line; returns what USART1 sent (the last bytes leave within two character times).
    std::string cmd(const std::string &line)
    {
        char buf[LINE_SIZE] = {};
        std::strncpy(buf, line.c_str(), LINE_SIZE - 1);
        cmd_parse(buf);
        wait_ms(0.5);
        return b.take_output(1);
    }

    // Typed bytes arrive one per character time.
    void type(int port, const std::string &bytes)
    {
        b.type(port, bytes);
        wait_ms(0.1 * static_cast<double>(bytes.size()) + 0.2);
    }
};
