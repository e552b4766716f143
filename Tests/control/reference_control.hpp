// The control tick as it was before it was made faster, kept verbatim as the
// reference of the differential tests: every comparison a float comparison,
// every setting-derived value computed on every tick. It works on the
// firmware's own control state and board operations; only its arithmetic and
// its two private counters are its own.
#pragma once
#include <stdint.h>

namespace ref {

void reset();                    // the private counters as at power-on
void tim2_irq();                 // the whole tick: fault watch, stopped tick or the running step
void control(uint16_t raw);      // the running step after its two samples (iv2_cache set; raw or 0xFFFF)

// Pieces of it, for the tests of their replacements.
int32_t f2i_sat(float x);
uint32_t f2u_sat(float x);
float lut_sin(float angle);
void svpwm(float va, float vb, float vc, uint16_t *a, uint16_t *b, uint16_t *c);

}  // namespace ref
