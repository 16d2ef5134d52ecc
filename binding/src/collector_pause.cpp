// binding/src/collector_pause.cpp: the count of active builds and the
// collector state the first of them found.
#include "collector_pause.hpp"

namespace kestrix::py {
namespace {

/// Touched only with the interpreter lock held.
struct PauseState {
    long active = 0;                      ///< builds begun and not yet ended
    bool disabled_by_us = false;          ///< the first build disabled the collector
    PyInterpreterState* owner = nullptr;  ///< the interpreter whose collector is paused
};

PauseState pause_state;

}  // namespace

CollectorPause::CollectorPause() noexcept : counted_(false) {
    PyInterpreterState* interpreter = PyInterpreterState_Get();
    if (pause_state.active == 0) {
        pause_state.owner = interpreter;
        // PyGC_Disable returns whether the collector was enabled.
        pause_state.disabled_by_us = PyGC_Disable() == 1;
    } else if (pause_state.owner != interpreter) {
        return;
    }
    ++pause_state.active;
    counted_ = true;
}

CollectorPause::~CollectorPause() {
    if (!counted_ || --pause_state.active != 0) return;
    if (pause_state.disabled_by_us) PyGC_Enable();
    pause_state.disabled_by_us = false;
    pause_state.owner = nullptr;
}

}  // namespace kestrix::py
