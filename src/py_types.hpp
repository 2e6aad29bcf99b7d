// The two Python classes. Each type is created once per process, on first
// need, and kept until the process ends.
#pragma once

#include "binding.hpp"

namespace velmor::py {

// A borrowed reference to the type, or NULL with an exception set.
[[nodiscard]] PyObject* board_type();
[[nodiscard]] PyObject* move_generator_type();

}  // namespace velmor::py
