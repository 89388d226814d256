// Busy means busy, for the objects of both modules: a method that releases the
// interpreter lock marks its object busy for as long as it runs, so the other
// methods refuse with RuntimeError instead of racing it. The mark is a plain
// field, read and written only with the interpreter lock held.
#pragma once

#include "py_ref.h"

#include <cstdint>

namespace kiv {

// Which call is in progress on an object: kNotBusy, or a value of the module's own.
using BusyState = uint8_t;
inline constexpr BusyState kNotBusy = 0;

// The module's RuntimeError text for a call refused while `in_progress` runs.
using BusyRefusal = const char* (*)(BusyState in_progress);

// True when the object is not busy; otherwise false with RuntimeError set.
inline bool refuse_while_busy(BusyState state, BusyRefusal refusal) {
    if (state == kNotBusy) return true;
    PyErr_SetString(PyExc_RuntimeError, refusal(state));
    return false;
}

// Marks an object busy with `what` from enter() until leave() or the end of
// the scope.
class BusyMark {
public:
    BusyMark(BusyState& state, BusyState what, BusyRefusal refusal) noexcept
        : state_(state), what_(what), refusal_(refusal) {}
    // Refuses (false, RuntimeError set) when the object is busy already.
    [[nodiscard]] bool enter() {
        if (!refuse_while_busy(state_, refusal_)) return false;
        state_ = what_;
        held_ = true;
        return true;
    }
    // Ends the mark before the scope does.
    void leave() noexcept {
        if (held_) state_ = kNotBusy;
        held_ = false;
    }
    ~BusyMark() { leave(); }
    BusyMark(const BusyMark&) = delete;
    BusyMark& operator=(const BusyMark&) = delete;

private:
    BusyState& state_;
    BusyState what_;
    bool held_ = false;
    BusyRefusal refusal_;
};

}  // namespace kiv
