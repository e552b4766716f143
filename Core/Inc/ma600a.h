// MA600A magnetic angle sensor on SPI1, chip select PA4.
#pragma once
#include <stdint.h>

#define MA600A_RESOLUTION 65536.0f   // counts per mechanical turn
#define MA600A_NO_SAMPLE  0xFFFFu     // from MA600A_ReadRawNB: no new word this call

void MA600A_Init(void);
uint16_t MA600A_SPI_Exchange(uint16_t tx_data);
void MA600A_SPI_TransferFrames(const uint16_t *tx, uint16_t *rx, uint8_t count);

uint16_t MA600A_ReadRawNB(void);   // a new raw word or MA600A_NO_SAMPLE
void MA600A_ResetNB(void);
uint16_t MA600A_ReadRaw(void);
float MA600A_ReadAngle(void);
float MA600A_ReadRPM(void);
void MA600A_ReadAngleSpeed(uint16_t *angle, int16_t *speed);

uint16_t MA600A_ReadReg(uint8_t addr);
void MA600A_WriteReg(uint8_t addr, uint8_t value);
void MA600A_StoreNVMBlock0(void);
