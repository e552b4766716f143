#include "trace.hpp"

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace app {

// Plant columns first, then what the firmware believes: its speed reference
// and measurement, position target, sensor angle and voltage amplitude.
const char *Trace::header()
{
    return "t_ms,mode,running,duty_u,duty_v,duty_w,bridge,i_u_A,i_v_A,i_w_A,"
           "theta_elec_rad,theta_mech_deg,speed_rpm,torque_Nm,sensor_word,supply_A,"
           "ref_rpm,fw_rpm,pos_ref_deg,fw_deg,vq\n";
}

Trace::Trace(const std::string &path, double every_ms) : path_(path), every_(sim::ms_to_cycles(every_ms))
{
    if (every_ == 0) every_ = 1;
    f_ = std::fopen(path.c_str(), "w");
    if (!f_) {
        std::fprintf(stderr, "foc-sim: cannot write trace %s: %s\n", path.c_str(), std::strerror(errno));
        std::exit(1);
    }
    static constexpr size_t kBuffer = 1 << 16;
    std::setvbuf(f_, nullptr, _IOFBF, kBuffer);
    std::fputs(header(), f_);
}

Trace::~Trace()
{
    if (!f_) return;
    // A row lost on the way (a full disk) leaves the stream's error flag set,
    // and closing does not report it again.
    const bool lost = std::ferror(f_) != 0;
    if (std::fclose(f_) != 0 || lost)
        std::fprintf(stderr, "foc-sim: writing trace %s failed: %s\n", path_.c_str(), std::strerror(errno));
}

void Trace::attach(sim::Board &board)
{
    board_ = &board;
    event_.attach(board.mcu, [this] { row(); });
    sim::Cycles now = board.mcu.now();
    board.mcu.schedule(event_, (now + every_ - 1) / every_ * every_);
}

void Trace::row()
{
    sim::Mcu &mcu = board_->mcu;
    sim::Cpu &cpu = board_->cpu();
    const sim::Cycles t = mcu.now();
    board_->plant.advance_to(t);
    const sim::PlantSnapshot s = board_->plant.snapshot();
    std::fprintf(f_,
                 "%.3f,%d,%d,%.4f,%.4f,%.4f,%d,%.5f,%.5f,%.5f,%.5f,%.4f,%.3f,%.6f,%u,%.5f,"
                 "%.2f,%.2f,%.1f,%.3f,%.4f\n",
                 sim::cycles_to_ms(t), cpu.expect_symbol<int32_t>("foc_mode"), cpu.expect_symbol<int32_t>("motor_running"),
                 s.duty[0], s.duty[1], s.duty[2], s.bridge_enabled ? 1 : 0,
                 s.i_phase[0], s.i_phase[1], s.i_phase[2],
                 s.theta_elec, s.theta_mech_deg, s.speed_rpm, s.torque_nm, static_cast<unsigned>(s.sensor_word), s.supply_a,
                 static_cast<double>(cpu.expect_symbol<float>("speed_cl_ref")),
                 static_cast<double>(cpu.expect_symbol<float>("actual_rpm")),
                 static_cast<double>(cpu.expect_symbol<float>("pos_ref_deg")),
                 static_cast<double>(cpu.expect_symbol<float>("ma600_mech_deg")),
                 static_cast<double>(cpu.expect_symbol<float>("ramp_vq")));
    mcu.schedule(event_, t + every_);
}

}  // namespace app
