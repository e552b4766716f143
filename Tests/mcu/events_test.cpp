// Virtual time and events of the virtual MCU.
#include <memory>
#include <string>

#include "chip.hpp"

// Faults caught: events fired out of order, ties not in the order of
// registration, an event fired away from its instant, one scheduled while
// firing skipped, time left short of the target.
TEST(Events, FireInOrderEachAtItsInstant)
{
    sim::Mcu m;
    std::string log;
    sim::Event a(m, [&] { log += "a" + std::to_string(m.now()) + " "; });
    sim::Event b(m, [&] {
        log += "b" + std::to_string(m.now()) + " ";
        m.schedule(a, m.now() + 5);
    });
    sim::Event c(m, [&] { log += "c" + std::to_string(m.now()) + " "; });
    m.schedule(c, 100);
    m.schedule(b, 100);
    m.schedule(a, 40);
    EXPECT_EQ(m.next_due(), 40u);
    m.advance_to(200);
    EXPECT_EQ(log, "a40 b100 c100 a105 ");
    EXPECT_EQ(m.now(), 200u);
    EXPECT_EQ(m.next_due(), sim::kNever);
}

// Faults caught: a scheduler that keeps a destroyed event (it would fire or
// hold next_due), or an event that reaches back into a destroyed scheduler.
TEST(Events, EitherSideMayGoFirst)
{
    auto m = std::make_unique<sim::Mcu>();
    bool fired = false;
    sim::Event survivor(*m, [&] { fired = true; });
    {
        sim::Event gone(*m, [] { FAIL() << "a destroyed event fired"; });
        m->schedule(gone, 10);
        m->schedule(survivor, 20);
    }
    EXPECT_EQ(m->next_due(), 20u);
    m->advance_to(30);
    EXPECT_TRUE(fired);

    m->schedule(survivor, 40);
    m.reset();   // the board goes first
    EXPECT_EQ(survivor.due(), 40u);
    sim::Mcu other;
    survivor.attach(other, [&] { fired = false; });
    other.schedule(survivor, 5);
    other.advance_to(5);
    EXPECT_FALSE(fired);
}
