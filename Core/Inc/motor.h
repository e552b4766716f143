#pragma once
#define MOTOR_PWM_MAX 1600  // timer counts per PWM period
