// The splitter: a visitor of the reader that only finds where games start
// and end, to cut a collection into chunks of whole games.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "pgn/parser.hpp"

namespace velmor {
class MoveGenerator;
}

namespace velmor::pgn {

// Cuts a text into chunks of whole games, each at least chunk_bytes long
// unless it is the last, ends with a game cut off at the size limit, or ends
// before more than MAX_GAP bytes of text between games (blank lines,
// comments: they read as nothing and are left out, so that they are never
// held). A chunk starts where a game starts, at a point where a reader
// started on the chunk is in the state the whole text's reader is in there.
// What the splitter holds is bounded by chunk_bytes + MAX_GAME_BYTES +
// MAX_GAP, whatever the text.
class Splitter : private Visitor {
public:
    struct Chunk {
        std::string data;
        std::uint64_t first_index;
        std::uint64_t first_line;
        std::uint64_t games;
    };

    // The most text between two games that a chunk holds.
    static constexpr std::uint64_t MAX_GAP = MAX_TEXT;

    explicit Splitter(std::size_t chunk_bytes);
    // The form the callers know; the splitter plays no move.
    Splitter(const MoveGenerator&, std::size_t chunk_bytes) : Splitter(chunk_bytes) {}

    // Reads the next piece of the text; the chunks completed so far are
    // appended to out.
    void feed(std::string_view data, std::vector<Chunk>& out);
    void finish(std::vector<Chunk>& out);

private:
    // Every game's movetext is skipped: only its end is looked for.
    bool end_tags() override { return false; }
    void game_starting(Cut cut) override;
    void cut_off(std::uint64_t offset) override;

    // Ends the chunk at end_offset.
    void emit(std::uint64_t end_offset);
    // Where the chunk's text stops being a game's: the end of its last game,
    // or its start while it holds none.
    [[nodiscard]] std::uint64_t last_game_end() const;

    std::size_t chunk_bytes_;
    Parser parser_;
    // The text still needed from earlier pieces: from pending_offset_ to the
    // start of the piece being read (piece_, read where it lies).
    std::string pending_;
    std::uint64_t pending_offset_ = 0;
    std::string_view piece_;
    bool collecting_ = true;
    std::uint64_t chunk_offset_ = 0;
    std::uint64_t chunk_line_ = 1;
    std::uint64_t chunk_index_ = 0;
    std::vector<Chunk>* out_ = nullptr;
};

}  // namespace velmor::pgn
