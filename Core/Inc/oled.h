#pragma once
#define OLED_I2C_ADDR 0x78  // display address on I2C2; no display is driven
