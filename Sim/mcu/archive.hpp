// The state of the virtual board's models as bytes, for snapshots. Each model
// names its state once, in its archive() function: the same list writes the
// members into an archive and reads them back, in the same order. What a
// model does not list (its number, its wiring, its callbacks) is fixed when
// it is built and needs no saving.
#pragma once
#include <cstring>
#include <type_traits>
#include <vector>

#include "mcu/event.hpp"

namespace sim {

class StateArchive {
public:
    using Bytes = std::vector<unsigned char>;
    static StateArchive writer(Bytes &out) { return StateArchive(&out, nullptr); }
    static StateArchive reader(const Bytes &in) { return StateArchive(nullptr, &in); }

    // Each member in turn: appended, or overwritten by the value read back.
    template <typename... T>
    void operator()(T &...members)
    {
        (item(members), ...);
    }
    // A reader has read back everything that was written.
    bool at_end() const { return !in_ || pos_ == in_->size(); }

private:
    StateArchive(Bytes *out, const Bytes *in) : out_(out), in_(in) {}

    template <typename T>
        requires std::is_trivially_copyable_v<T>
    void item(T &v)
    {
        bytes(&v, sizeof v);
    }
    // An event's time; the scheduler's own next time is saved with the MCU.
    void item(Event &e) { item(e.due_); }
    // Containers of plain values (vectors, deques, strings): size, then items.
    template <typename C>
        requires requires(C c) { c.resize(0); c.begin(); }
    void item(C &c)
    {
        size_t n = c.size();
        item(n);
        if (in_) c.resize(n);
        for (auto &v : c) item(v);
    }

    void bytes(void *p, size_t n)
    {
        if (out_) {
            const auto *b = static_cast<const unsigned char *>(p);
            out_->insert(out_->end(), b, b + n);
            return;
        }
        if (n > in_->size() - pos_) fail("a snapshot read back past its end: the models changed since it was taken");
        std::memcpy(p, in_->data() + pos_, n);
        pos_ += n;
    }

    Bytes *out_;
    const Bytes *in_;
    size_t pos_ = 0;
};

}  // namespace sim
