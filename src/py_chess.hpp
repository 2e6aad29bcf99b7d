// The two classes of velmor_chess (py_board.cpp, py_move_generator.cpp), as
// the module (py_chess.cpp) adds them. Each type is created when the module
// is initialised, once per runtime, and kept until the process ends.
#pragma once

#include "py_common.hpp"

namespace velmor::py {

// Creates the type for this runtime: a new reference, or NULL with an
// exception set. A type left from an earlier, finalized runtime belongs to
// that runtime and is not touched.
[[nodiscard]] PyObject* create_board_type();
[[nodiscard]] PyObject* create_move_generator_type();

// Boards keep the memory of a few dead instances for the next ones
// (Spares), from the type's creation until the module dies and calls this.
void free_spare_boards();
// The listing shares one str per coordinate text (py_move_generator.cpp)
// until the module dies and calls this.
void free_move_texts();

// The Board type of the running module.
[[nodiscard]] PyTypeObject* board_type();

}  // namespace velmor::py
