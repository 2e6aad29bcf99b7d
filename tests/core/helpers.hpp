// Shared pieces of the core tests beside the shared test support: square
// names, exception checks that look at both the type and the message, and
// move-list text.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <typeinfo>
#include <utility>
#include <vector>

#include "board/mod.hpp"
#include "chess_move/mod.hpp"
#include "common/mod.hpp"
#include "move_generator/mod.hpp"
#include "support/mod.hpp"

namespace velmor::testing {

using namespace velmor::support;

// ---------------------------------------------------------------- squares

// "e4" -> 28.
[[nodiscard]] constexpr unsigned sq(std::string_view name) {
    return static_cast<unsigned>(name[0] - 'a') + 8 * static_cast<unsigned>(name[1] - '1');
}

// The set of the named squares, e.g. bb({"a1", "h8"}).
[[nodiscard]] inline Bitboard bb(std::initializer_list<std::string_view> names) {
    Bitboard b = 0;
    for (const std::string_view name : names) b |= Bitboard{1} << sq(name);
    return b;
}

// ---------------------------------------------------------------- self-check

// Succeeds when the board's bookkeeping holds together, and with Hashes::exact
// its hashes too; says what is wrong where, otherwise.
[[nodiscard]] inline ::testing::AssertionResult holds_together(const Board& board, Hashes hashes) {
    if (const char* fault = board_fault(board, hashes))
        return ::testing::AssertionFailure() << fault << " in " << fen(board);
    return ::testing::AssertionSuccess();
}

// ---------------------------------------------------------------- exceptions

[[nodiscard]] inline const char* kind_name(const std::exception& e) {
    if (dynamic_cast<const Panic*>(&e)) return "velmor::Panic";
    if (dynamic_cast<const InvalidInput*>(&e)) return "velmor::InvalidInput";
    return typeid(e).name();
}

// Succeeds when f throws exactly E with exactly this what() text.
template <typename E, typename F>
[[nodiscard]] ::testing::AssertionResult throws_exactly(F&& f, std::string_view message) {
    try {
        f();
    } catch (const E& e) {
        if (std::string_view(e.what()) == message) return ::testing::AssertionSuccess();
        return ::testing::AssertionFailure() << "threw " << kind_name(e) << " \"" << e.what() << "\", expected \""
                                             << message << "\"";
    } catch (const std::exception& e) {
        return ::testing::AssertionFailure() << "threw " << kind_name(e) << " \"" << e.what() << "\", expected "
                                             << typeid(E).name() << " \"" << message << "\"";
    } catch (...) {
        return ::testing::AssertionFailure() << "threw something that is no std::exception";
    }
    return ::testing::AssertionFailure() << "threw nothing, expected \"" << message << "\"";
}

template <typename F>
[[nodiscard]] ::testing::AssertionResult panics_with(F&& f, std::string_view message) {
    return throws_exactly<Panic>(std::forward<F>(f), message);
}

template <typename F>
[[nodiscard]] ::testing::AssertionResult refuses_with(F&& f, std::string_view message) {
    return throws_exactly<InvalidInput>(std::forward<F>(f), message);
}

// The what() text of an E thrown by f, or nullopt when f throws nothing;
// any other exception escapes to the test.
template <typename E, typename F>
[[nodiscard]] std::optional<std::string> caught(F&& f) {
    try {
        f();
    } catch (const E& e) {
        return std::string(e.what());
    }
    return std::nullopt;
}

// ---------------------------------------------------------------- move lists

[[nodiscard]] inline std::vector<std::string> words(std::string_view text) {
    std::vector<std::string> out;
    std::istringstream in{std::string(text)};
    for (std::string w; in >> w;) out.push_back(w);
    return out;
}

[[nodiscard]] inline std::vector<std::string> texts(const MoveList& list) {
    std::vector<std::string> out;
    for (const ChessMove move : list) out.push_back(move.text());
    return out;
}

[[nodiscard]] inline std::vector<std::string> legal_texts(Board& board) {
    MoveList list;
    generator().legal_moves(board, list);
    return texts(list);
}

}  // namespace velmor::testing
