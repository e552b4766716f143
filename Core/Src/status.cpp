// Status report and help text of the console.
#include "board.h"
#include "console.h"
#include "foc.h"
#include "main.h"
#include "numconv.h"

// Short mode names of the status line.
static const char *const mnames[6] = {
    "SPD_OPEN", "POS_OPEN", "CUR_OPEN", "SPD_CL", "POS_CL", "CUR_CL",
};

// Measured and running values are shown truncated toward zero; settings the
// operator typed are shown rounded, so that they read back as typed.
static void put_t(float x) { uart_puti(f2i_sat(x)); }
static void put_setting(float x) { uart_puti(f2i_round_sat(x)); }

// One line: the settings half, then the actual values. Each piece reads its
// variable as it is printed.
void cmd_stat(void)
{
    const int32_t mode = foc_mode;

    uart_puts("【SET】:");
    uart_puts(motor_running ? "RUN " : "STOP ");
    uart_puts("M=");
    uart_puti(mode);
    uart_tx(' ');
    uart_puts(mnames[mode]);
    uart_tx(' ');
    if (mode == 1 || mode == 4) {
        uart_puts("pos=");
        put_setting(pos_ref_deg);
        uart_puts("deg ");
    }
    if (mode == 4) {
        uart_puts("kp=");
        put_setting(pid_pos_kp * 10.0f);
        uart_puts(" emax=");
        put_setting(pos_err_max);
        uart_puts("deg ");
    }
    uart_puts("vq=");
    put_setting(foc_vq * 1000.0f);
    uart_puts(" sp=");
    put_setting(foc_speed * 10.0f);
    uart_puts(" r=");
    uart_puti(foc_rate);
    uart_puts("kHz ramp=");
    uart_puti(ramp_rate);
    if (mode == 3) {
        uart_puts(" ref_rpm=");
        put_t(speed_cl_ref);
    }
    if (mode == 4) {
        uart_puts(" ref_deg=");
        put_setting(pos_ref_deg);
    }
    uart_puts(" Iref=");
    put_setting(cur_tgt_mA);
    uart_puts("mA");

    uart_puts("【ACT】: vq=");
    put_t(ramp_vq * 1000.0f);
    uart_puts(" rpm=");
    put_t(actual_rpm);
    uart_puts(" REV=");
    uart_puti(total_turns);
    if (mode == 4) {
        uart_puts(" pos=");
        put_t(ma600_ema_deg);
        uart_puts("deg err=");
        put_t(foc_position_error_deg());
        uart_puts("deg");
    } else if (mode == 1) {
        const float virt = posopen_virt_deg;
        uart_puts(" pos=");
        put_t(virt);
        uart_puts("deg err=");
        put_t(pos_ref_deg - virt);
        uart_puts("deg");
    }
    uart_puts(" IV2=");
    uart_puti(MCS1805_I_mA(iv2_cache, adc_zero_iv2));
    uart_puts("mA");
    uart_puts(" MA=");
    put_t(ma600_mech_deg);
    uart_puts(" PWM=");
    uart_puti(static_cast<int32_t>(T4_CCR1));
    uart_tx(',');
    uart_puti(static_cast<int32_t>(T4_CCR2));
    uart_tx(',');
    uart_puti(static_cast<int32_t>(T4_CCR3));
    uart_puts("\r\n");
}

// The command list (UTF-8), sent in one piece.
static const char help_text[] =
    "\r\n"
    "=== FOC 命令 ===\r\n"
    "ON              - 启动电机\r\n"
    "OFF             - 停止电机\r\n"
    "mode <0~5>      - 切换运行模式\r\n"
    "                   0=速度开环  1=位置开环(虚拟角度)\r\n"
    "                   2=电流开环(单相IV)  3=速度闭环(PID+MA600A)\r\n"
    "                   4=位置闭环(PID+MA600A)  5=电流闭环\r\n"
    "vq <0~999>      - 电压限幅 (实际=值/1000, 默认80=0.08, mode切换后=100=0.1)\r\n"
    "I <0~2000>      - 电流目标 (mA, 默认500)\r\n"
    "ramp <0~1000>   - 电压斜坡速率 (0=瞬时, 默认100)\r\n"
    "hold <0~999>    - 到位保持电压 (实际=值/1000, 0=不保持, 默认0)\r\n"
    "sp <1~9999>     - 开环速度 (实际=值/10 rad/s, 默认100=10.0)\r\n"
    "rpm <-9999~9999>- 速度闭环目标 RPM (默认100)\r\n"
    "pos <0~3600>    - 目标角度 (实际=值/10 度, 默认0)\r\n"
    "posemax <1~180> - 位置误差限幅 (度, 默认30)\r\n"
    "pidspd Kp,Ki,Kd - 速度闭环 PID (Kp x1000, Ki x10000, Kd x10000)\r\n"
    "                 默认: Kp=10(0.01) Ki=1000(0.1) Kd=0\r\n"
    "pidpos Kp,Ki,Kd - 位置闭环 PID (Kp x10, Ki 直接使用, Kd x10000)\r\n"
    "                 默认: Kp=5(0.5)    Ki=100(0.1)  Kd=0\r\n"
    "pidcur Kp,Ki,Kd - 电流闭环 PID (Kp x1000, Ki x10000, Kd x10000)\r\n"
    "                 默认: Kp=10(0.01) Ki=50(0.005) Kd=0\r\n"
    "pid             - 显示所有 PID 当前值\r\n"
    "rate <1~7>      - FOC 频率 kHz (默认4)\r\n"
    "stat            - 显示运行状态 (SET/ACT 双行)\r\n"
    "actrpm          - 显示实际转速 RPM\r\n"
    "angle           - 读取 MA600A 当前角度\r\n"
    "turn            - 读取当前角度 + 累计圈数\r\n"
    "adc             - 读取四通道 ADC及电流 IU(xxxmA) IV(xxxmA) IW(xxxmA) IV2(xxxmA)\r\n"
    "iu/iv/iw/iv2    - 读取单路 ADC 值及电流 (PA0~PA3)\r\n"
    "calibrate       - 电流零点校准 (电机停止时执行)\r\n"
    "sens <1~9999>   - MCS1805灵敏度系数 (默认1000=0.264V/A)\r\n"
    "spi 0xXXXX          - 单帧 SPI 读写\r\n"
    "spi 0xXXXX 0xYYYY   - 多帧连续 SPI 读写 (CS 保持低)\r\n"
    "reg 0xXX        - 读 MA600A 寄存器 (例: reg 0x20)\r\n"
    "wri 0xXX val    - 写 MA600A 寄存器 (例: wri 0x1C 80)\r\n"
    "diag            - SPI 状态诊断\r\n"
    "cs on/off       - 手动控制 CS 引脚\r\n"
    "pins            - 显示 ENA/ENB/ENC/nSleep/nFault\r\n"
    "echo on         - 开启自动打印 stat\r\n"
    "echo off        - 关闭自动打印\r\n"
    "help            - 显示此帮助\r\n"
    "=================\r\n"
    "\r\n";

void cmd_help(void)
{
    uart_puts(help_text);
}
