// A fresh virtual board brought up as far as the console needs (clocks,
// pins, timers, SPI1, both serial ports, interrupts, the sensor driver and
// the ADC), with helpers to hand a line to the interpreter and collect the
// reply. The firmware's own main loop does not run.
#pragma once
#include <cstring>
#include <string>

#include "board.h"
#include "board.hpp"
#include "console.h"
#include "foc.h"
#include "ma600a.h"

struct ConsoleBench {
    sim::Board b;

    explicit ConsoleBench(const sim::PlantParams &params = sim::PlantParams{}) : b(params)
    {
        board_init();
        MA600A_Init();
        board_adc_calibrate();
        wait_ms(1.0);
        b.take_output(1);
        b.take_output(2);
    }

    // ADC count of the current sensor's output at zero current.
    double zero_counts() const
    {
        return (b.plant.params.current_zero_v + b.plant.params.current_offset_mv * 1e-3) / 3.3 * 4096.0;
    }

    void wait_ms(double ms) { b.mcu.advance_to(b.mcu.now() + sim::ms_to_cycles(ms)); }

    // Interprets one line and returns what USART1 sent for it. When
    // cmd_parse returns every byte has been handed to the transmitters;
    // the last ones leave within two character times.
    std::string cmd(const std::string &line)
    {
        char buf[LINE_SIZE] = {};
        std::strncpy(buf, line.c_str(), LINE_SIZE - 1);
        cmd_parse(buf);
        wait_ms(0.5);
        return b.take_output(1);
    }

    // Bytes typed on a port arrive one per character time.
    void type(int port, const std::string &bytes)
    {
        b.type(port, bytes);
        wait_ms(0.1 * static_cast<double>(bytes.size()) + 0.2);
    }
};
