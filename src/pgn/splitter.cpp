#include "pgn/splitter.hpp"

#include <algorithm>

#include "common/mod.hpp"

namespace velmor::pgn {

Splitter::Splitter(std::size_t chunk_bytes)
    : chunk_bytes_(std::max<std::size_t>(chunk_bytes, 1)), parser_(*this, Parser::Options{0, 1, true}) {}

void Splitter::feed(std::string_view data, std::vector<Chunk>& out) {
    out_ = &out;
    piece_ = data;
    parser_.feed(data);
    // Text between games past MAX_GAP is left out: the chunk ends with its
    // last game.
    const std::uint64_t end = pending_offset_ + pending_.size() + data.size();
    if (collecting_ && parser_.between_games() && end - last_game_end() > MAX_GAP) {
        if (parser_.next_index() > chunk_index_) emit(parser_.game_end());
        collecting_ = false;
    }
    out_ = nullptr;
    piece_ = {};
    // Keep only what a chunk may still need: the chunk being collected, or
    // the bytes from the earliest point a game may yet be found to start.
    const std::uint64_t keep = collecting_ ? chunk_offset_ : parser_.earliest_start();
    const std::uint64_t piece_offset = pending_offset_ + pending_.size();
    if (keep >= piece_offset) {
        pending_.assign(data.substr(static_cast<std::size_t>(keep - piece_offset)));
    } else {
        pending_.erase(0, static_cast<std::size_t>(keep - pending_offset_));
        pending_.append(data);
    }
    pending_offset_ = keep;
}

std::uint64_t Splitter::last_game_end() const {
    return parser_.next_index() > chunk_index_ ? parser_.game_end() : chunk_offset_;
}

void Splitter::emit(std::uint64_t end_offset) {
    // The chunk's bytes: the part kept from earlier pieces, then the part in
    // the piece being read.
    std::string data;
    data.reserve(static_cast<std::size_t>(end_offset - chunk_offset_));
    const std::uint64_t piece_offset = pending_offset_ + pending_.size();
    if (chunk_offset_ < piece_offset) {
        const std::size_t from = static_cast<std::size_t>(chunk_offset_ - pending_offset_);
        data.append(pending_, from, static_cast<std::size_t>(std::min(end_offset, piece_offset) - chunk_offset_));
    }
    if (end_offset > piece_offset) {
        const std::uint64_t from = std::max(chunk_offset_, piece_offset) - piece_offset;
        data.append(piece_.substr(static_cast<std::size_t>(from), static_cast<std::size_t>(end_offset - piece_offset - from)));
    }
    out_->push_back(Chunk{std::move(data), chunk_index_, chunk_line_, parser_.next_index() - chunk_index_});
}

void Splitter::game_starting(Cut cut) {
    const auto [offset, line] = cut;
    if (collecting_) {
        if (offset - last_game_end() > MAX_GAP) {
            // After a long stretch between games the chunk ends with its last
            // game, and the stretch is left out.
            if (parser_.next_index() > chunk_index_) emit(parser_.game_end());
        } else if (offset - chunk_offset_ < chunk_bytes_) {
            return;
        } else {
            emit(offset);
        }
    } else {
        // A game started after one that was cut off, or after text left out.
        if (offset < pending_offset_) panic("game start outside the splitter's window");
        collecting_ = true;
    }
    chunk_offset_ = offset;
    chunk_line_ = line;
    chunk_index_ = parser_.next_index();
}

void Splitter::cut_off(std::uint64_t offset) {
    if (!collecting_) return;
    emit(offset + 1);
    collecting_ = false;
}

void Splitter::finish(std::vector<Chunk>& out) {
    out_ = &out;
    parser_.finish();
    if (collecting_ && parser_.next_index() > chunk_index_) emit(pending_offset_ + pending_.size());
    out_ = nullptr;
    pending_.clear();
}

}  // namespace velmor::pgn
