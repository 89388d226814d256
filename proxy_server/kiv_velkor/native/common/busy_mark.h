// Busy means busy, for the objects of both modules: a method that releases the
// interpreter lock marks its object busy for as long as it runs, so the other
// methods refuse with RuntimeError instead of racing it. The mark is a plain
// field, read and written only with the interpreter lock held.
//
// A mark also records the process it was made in (forking.h). In a child made
// by fork() while a call was in progress, the mark belongs to a thread the
// child does not have: it is never left, and the object's handle belongs to
// that call in the parent. Such an object is orphaned: it refuses for good,
// with a text that says so, and nothing of it may reach the runtime.
#pragma once

#include "forking.h"
#include "py_ref.h"

#include <cstdint>

namespace kiv {

// Which call is in progress on an object: kNotBusy, or a value of the module's own.
using BusyState = uint8_t;
inline constexpr BusyState kNotBusy = 0;

// An object's busy mark.
struct BusyField {
    BusyState what = kNotBusy;
    uint32_t generation = 0;   // the process generation the mark was made in

    // Marked by a thread of a parent process: the call will never return here.
    bool orphaned() const noexcept { return what != kNotBusy && generation != process_generation(); }
};

// The module's RuntimeError text for a call refused while `in_progress` runs,
// or (orphaned) because it was in progress when the process forked.
using BusyRefusal = const char* (*)(BusyState in_progress, bool orphaned);

// True when the object is not busy; otherwise false with RuntimeError set.
inline bool refuse_while_busy(const BusyField& busy, BusyRefusal refusal) {
    if (busy.what == kNotBusy) return true;
    PyErr_SetString(PyExc_RuntimeError, refusal(busy.what, busy.orphaned()));
    return false;
}

// Marks an object busy with `what` from enter() until leave() or the end of
// the scope.
class BusyMark {
public:
    BusyMark(BusyField& busy, BusyState what, BusyRefusal refusal) noexcept
        : busy_(busy), what_(what), refusal_(refusal) {}
    // Refuses (false, RuntimeError set) when the object is busy already.
    [[nodiscard]] bool enter() {
        if (!refuse_while_busy(busy_, refusal_)) return false;
        busy_ = {what_, process_generation()};
        held_ = true;
        return true;
    }
    // Ends the mark before the scope does.
    void leave() noexcept {
        if (held_) busy_.what = kNotBusy;
        held_ = false;
    }
    ~BusyMark() { leave(); }
    BusyMark(const BusyMark&) = delete;
    BusyMark& operator=(const BusyMark&) = delete;

private:
    BusyField& busy_;
    BusyState what_;
    bool held_ = false;
    BusyRefusal refusal_;
};

}  // namespace kiv
