// The PGN reader on arbitrary bytes. Only the two failure types of the core
// may leave it (none is expected); every game ends in exactly one event; the
// events are the same whatever pieces the text is fed in; and the splitter's
// chunks, read on their own with their first index and line, tell exactly
// what the whole text tells.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_common.hpp"
#include "move_generator/mod.hpp"
#include "pgn/mod.hpp"
#include "support/mod.hpp"

using namespace velmor;
using namespace velmor::pgn;

namespace {

using support::generator;

class Recorder final : public Sink {
public:
    std::vector<std::string> events;
    bool open = false;

    bool begin(const Game& game) override {
        FUZZ_CHECK(!open, "begin inside a game");
        open = true;
        events.push_back("begin " + std::to_string(game.index) + " " + std::to_string(game.line) + " " +
                         fen(game.start) + " " + std::to_string(game.tags.size()));
        return true;
    }
    void move(const Game& game, ChessMove move) override {
        FUZZ_CHECK(open, "move outside a game");
        events.push_back(move.text() + " " + std::to_string(game.halfmove_clock));
    }
    void end(const Game& game, Result result) override {
        FUZZ_CHECK(open, "end without begin");
        open = false;
        events.push_back("end " + std::to_string(game.index) + result_text(result));
    }
    void error(const Game&, Error&& error, bool begun) override {
        FUZZ_CHECK(begun == open, "error's begun flag disagrees");
        open = false;
        FUZZ_CHECK(!error.message.empty(), "error without a message");
        events.push_back(error.message + " " + std::to_string(error.index));
    }
    void filtered(const Game& game) override {
        FUZZ_CHECK(!open, "filtered after begin");
        events.push_back("filtered " + std::to_string(game.index));
    }
};

std::vector<std::string> read(std::string_view text, std::size_t piece, std::uint64_t first_index = 0,
                              std::uint64_t first_line = 1) {
    Recorder recorder;
    Reader reader(generator(), recorder, {first_index, first_line, true, false});
    for (std::size_t i = 0; i < text.size(); i += piece) reader.feed(text.substr(i, piece));
    reader.finish();
    FUZZ_CHECK(!recorder.open, "a game left open at the end");
    return recorder.events;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) return 0;
    // The first two bytes choose the piece size and the chunk size.
    const std::size_t piece = 1 + data[0] % 16;
    const std::size_t chunk_bytes = 1 + data[1] * 4;
    const std::string_view text = as_text(data + 2, size - 2);

    const std::vector<std::string> whole = read(text, text.size() + 1);
    FUZZ_CHECK(read(text, piece) == whole, "events depend on the pieces the text is fed in");

    Splitter splitter(generator(), chunk_bytes);
    std::vector<Splitter::Chunk> chunks;
    for (std::size_t i = 0; i < text.size(); i += piece) splitter.feed(text.substr(i, piece), chunks);
    splitter.finish(chunks);
    std::vector<std::string> joined;
    for (std::size_t i = 0; i < chunks.size(); ++i) {
        // Only a game cut off at its size limit, or over 64 KiB of text left
        // out between games, ends a chunk early: inputs here (4 KiB) reach neither.
        if (i + 1 < chunks.size()) FUZZ_CHECK(chunks[i].data.size() >= chunk_bytes, "a short chunk before the last");
        const auto events = read(chunks[i].data, chunks[i].data.size() + 1, chunks[i].first_index, chunks[i].first_line);
        joined.insert(joined.end(), events.begin(), events.end());
    }
    FUZZ_CHECK(joined == whole, "the chunks read otherwise than the whole text");
    return 0;
}
