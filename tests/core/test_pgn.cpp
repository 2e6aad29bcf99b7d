// The PGN reader: real-world forms, the errors and what each loses (only its
// own game), the same events whatever the pieces the text comes in, and the
// splitter's chunks.
#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

#include "board/mod.hpp"
#include "move_generator/mod.hpp"
#include "pgn/mod.hpp"
#include "support/mod.hpp"

namespace {

using namespace velmor;
using namespace velmor::pgn;

using support::generator;

// Writes every event as a line of text, so whole runs compare at once.
class Recorder final : public Sink {
public:
    std::vector<std::string> events;

    bool begin(const Game& game) override {
        std::string line = "begin " + std::to_string(game.index) + " line " + std::to_string(game.line) + " " +
                           fen(game.start);
        for (const Tag& tag : game.tags) line += " [" + tag.first + "=" + tag.second + "]";
        events.push_back(line);
        return true;
    }
    void move(const Game& game, ChessMove move) override {
        events.push_back("move " + move.text() + " clock " + std::to_string(game.halfmove_clock) + " number " +
                         std::to_string(game.fullmove_number));
    }
    void end(const Game& game, Result result) override {
        events.push_back("end " + std::to_string(game.index) + " " + result_text(result));
    }
    void error(const Game&, Error&& error, bool) override {
        events.push_back(std::string("error ") + kind_name(error.kind) + " " + std::to_string(error.index) +
                         " line " + std::to_string(error.line) + (error.has_move ? " move " + error.move : "") +
                         ": " + error.message);
    }
    void filtered(const Game& game) override { events.push_back("filtered " + std::to_string(game.index)); }
};

std::vector<std::string> read(std::string_view text, std::size_t piece = 0) {
    Recorder recorder;
    Reader reader(generator(), recorder, {});
    if (piece == 0) {
        reader.feed(text);
    } else {
        for (std::size_t i = 0; i < text.size(); i += piece) reader.feed(text.substr(i, piece));
    }
    reader.finish();
    return recorder.events;
}

std::vector<std::string> moves_of(const std::vector<std::string>& events) {
    std::vector<std::string> moves;
    for (const std::string& event : events)
        if (event.starts_with("move ")) moves.push_back(event.substr(5, event.find(' ', 5) - 5));
    return moves;
}

bool has_event(const std::vector<std::string>& events, std::string_view start) {
    for (const std::string& event : events)
        if (event.starts_with(start)) return true;
    return false;
}

struct FormCase {
    const char* name;
    std::string text;
    std::vector<std::string> moves;
};

void PrintTo(const FormCase& c, std::ostream* os) { *os << c.name; }

class Forms : public ::testing::TestWithParam<FormCase> {};

TEST_P(Forms, ReadTheMainline) {
    const FormCase& c = GetParam();
    const std::vector<std::string> events = read(c.text);
    EXPECT_EQ(moves_of(events), c.moves);
    EXPECT_FALSE(has_event(events, "error")) << ::testing::PrintToString(events);
    // The same events whatever the pieces the text arrives in.
    for (const std::size_t piece : {1, 2, 3, 7}) EXPECT_EQ(read(c.text, piece), events) << "pieces of " << piece;
}

const std::vector<std::string> RUY = {"e2e4", "e7e5", "g1f3", "b8c6", "f1b5"};

INSTANTIATE_TEST_SUITE_P(
    Pgn, Forms,
    ::testing::Values(
        FormCase{"plain", "1. e4 e5 2. Nf3 Nc6 3. Bb5 *", RUY},
        FormCase{"glued numbers", "1.e4 e5 2.Nf3 Nc6 3.Bb5 1-0", RUY},
        FormCase{"black numbers", "1. e4 {c} 1... e5 2. Nf3 2... Nc6 3. Bb5 0-1", RUY},
        FormCase{"no numbers", "e4 e5 Nf3 Nc6 Bb5 1/2-1/2", RUY},
        FormCase{"comments", "1. e4 {a {b} e5 ; rest ) ( of line\n2. Nf3 {[%clk 0:01]} Nc6 3. Bb5 *", RUY},
        FormCase{"variations", "1. e4 (1. d4 d5 (1... Nf6 2. c4 {x)} ) 2. c4) e5 2. Nf3 ( 2. f4 ) Nc6 3. Bb5 *",
                 RUY},
        FormCase{"nags and marks", "1. e4! $1 e5?! 2. Nf3 !? Nc6 $14 3. Bb5!! *", RUY},
        FormCase{"escape lines", "%header\n1. e4 e5\n% 2. d4\n2. Nf3 Nc6 3. Bb5 *", RUY},
        FormCase{"bom and crlf", "\xEF\xBB\xBF[Event \"x\"]\r\n\r\n1. e4 e5\r\n2. Nf3 Nc6\r\n3. Bb5 *\r\n", RUY},
        FormCase{"bom before an escape line", "\xEF\xBB\xBF%x y\n1. e4 e5 2. Nf3 Nc6 3. Bb5 *", RUY},
        FormCase{"blank lines", "[A \"1\"]\n\n\n\n1. e4\n\n\ne5\n\n2. Nf3 Nc6 3. Bb5\n\n*", RUY},
        FormCase{"tags with escapes", "[Event \"say \\\"hi\\\" \\\\ [x]\"]\n[Site \"\"]\n1. e4 e5 2. Nf3 Nc6 3. Bb5 *",
                 RUY},
        FormCase{"fen start", "[SetUp \"1\"]\n[FEN \"4k3/P7/8/8/8/8/8/4K3 w - - 0 1\"]\n1. a8=Q+ Kd7 *",
                 {"a7a8q", "e8d7"}},
        FormCase{"empty game", "[Event \"x\"]\n*", {}}));

TEST(Pgn, TagsKeepFileOrderAndUnescape) {
    const auto events = read("[Event \"say \\\"hi\\\" \\\\\"]\n[White \"a\"]\n[Event \"b\"]\n\n*");
    ASSERT_FALSE(events.empty());
    EXPECT_NE(events[0].find("[Event=say \"hi\" \\] [White=a] [Event=b]"), std::string::npos) << events[0];
}

TEST(Pgn, CountersComeFromTheFenTagAndRunAlongTheGame) {
    const auto events = read("[FEN \"4k3/8/8/8/8/8/4P3/4K3 b - - 7 30\"]\n30... Kd7 31. Kd2 Kc6 32. e4 Kd6 *");
    EXPECT_EQ(events[1], "move e8d7 clock 7 number 30");
    EXPECT_EQ(events[2], "move e1d2 clock 8 number 31");
    EXPECT_EQ(events[4], "move e2e4 clock 10 number 32");
    EXPECT_EQ(events[5], "move c6d6 clock 0 number 32");
}

struct ErrorCase {
    const char* name;
    std::string text;
    const char* error;  // the start of the error event
};

void PrintTo(const ErrorCase& c, std::ostream* os) { *os << c.name; }

class Errors : public ::testing::TestWithParam<ErrorCase> {};

// Every bad game between two good ones: its error, and both others intact.
TEST_P(Errors, LoseOnlyTheirOwnGame) {
    const ErrorCase& c = GetParam();
    const std::string text = "[Event \"before\"]\n1. e4 e5 *\n\n" + c.text + "\n\n[Event \"after\"]\n1. d4 d5 *\n";
    const auto events = read(text);
    std::vector<std::string> errors;
    for (const auto& event : events)
        if (event.starts_with("error")) errors.push_back(event);
    ASSERT_EQ(errors.size(), 1u) << ::testing::PrintToString(events);
    EXPECT_TRUE(errors[0].starts_with(c.error)) << errors[0];
    EXPECT_EQ(moves_of(events).front(), "e2e4");
    EXPECT_TRUE(has_event(events, "end 0 *"));
    EXPECT_TRUE(has_event(events, "end 2 *")) << ::testing::PrintToString(events);
    EXPECT_EQ(moves_of(events).back(), "d7d5");
    for (const std::size_t piece : {1, 5}) EXPECT_EQ(read(text, piece), events);
}

INSTANTIATE_TEST_SUITE_P(
    Pgn, Errors,
    ::testing::Values(
        ErrorCase{"illegal", "1. e4 e5 2. Ke3 *", "error illegal move 1 line 4 move Ke3"},
        ErrorCase{"ambiguous", "[FEN \"7k/8/8/8/8/8/N1N5/7K w - -\"]\n1. Nb4 *", "error ambiguous move 1 line 5 move Nb4"},
        ErrorCase{"unreadable", "1. e4 e5 2. Zz9 *", "error unreadable move 1 line 4 move Zz9"},
        ErrorCase{"unmatched parenthesis", "1. e4 ) e5 *", "error unreadable move 1 line 4 move )"},
        ErrorCase{"variant", "[Variant \"Chess960\"]\n1. e4 *", "error unsupported variant 1 line 4"},
        ErrorCase{"bad fen", "[FEN \"8/8/8 w - -\"]\n1. e4 *", "error bad fen 1 line 4"},
        ErrorCase{"fen in check", "[FEN \"4k3/8/8/8/8/8/8/4R1K1 w - -\"]\n1. Kh2 *", "error bad fen"},
        ErrorCase{"fen castling", "[FEN \"4k3/8/8/8/8/8/8/4K3 w K -\"]\n1. Kd2 *", "error bad fen"},
        ErrorCase{"bad tag", "[Event \"x]\n1. e4 *", "error bad tag 1 line 4"},
        ErrorCase{"tag without value", "[Event x]\n1. e4 *", "error bad tag 1 line 4"},
        ErrorCase{"truncated by tags", "1. e4 e5 2. Nf3", "error truncated game 1 line 6"},
        ErrorCase{"binary", std::string("1. e4 \x01\x02 e5 *"), "error binary data 1 line 4"},
        ErrorCase{"long token", "1. e4 " + std::string(1 << 20, 'a') + " *", "error token too long 1 line 4"},
        // The longest token is read as a move; one byte more is too long.
        ErrorCase{"token at the limit", "1. e4 " + std::string(MAX_SYMBOL, 'a') + " *", "error unreadable move 1 line 4"},
        ErrorCase{"token past the limit", "1. e4 " + std::string(MAX_SYMBOL + 1, 'a') + " *",
                  "error token too long 1 line 4"},
        ErrorCase{"long tag name", "[" + std::string(MAX_SYMBOL + 1, 'N') + " \"v\"]\n1. e4 *", "error bad tag 1 line 4"},
        ErrorCase{"long comment", "1. e4 {" + std::string(1 << 20, 'a') + "} *", "error token too long 1 line 4"},
        ErrorCase{"long tag value", "[Event \"" + std::string(1 << 20, 'a') + "\"]\n1. e4 *",
                  "error token too long 1 line 4"}));

TEST(Pgn, EndOfTextInsideAGameOrCommentIsAnError) {
    EXPECT_TRUE(read("1. e4 e5 2. Nf3").back().starts_with("error truncated game 0 line 1"));
    EXPECT_TRUE(read("[Event \"x\"]\n").back().starts_with("error truncated game 0"));
    EXPECT_TRUE(read("1. e4 {open").back().starts_with("error unterminated comment 0 line 1"));
    EXPECT_TRUE(read("1. e4 *\n{open").back().starts_with("error unterminated comment 1 line 2"));
    EXPECT_TRUE(read("[Event \"x").back().starts_with("error bad tag 0"));
    EXPECT_EQ(read("1. e4 *\n\n  \n%x\n{closed}\n"), read("1. e4 *"));
}

TEST(Pgn, AGameLongerThanTheLimitIsCutOffAndTheNextOneRead) {
    std::string text = "1. e4 e5 ";
    const std::string comment = "{" + std::string(MAX_TEXT - 10, 'c') + "} ";
    while (text.size() <= MAX_GAME_BYTES) text += comment;
    text += "2. Nf3 *\n1. d4 *\n";
    const auto events = read(text);
    EXPECT_TRUE(has_event(events, "error game too long 0")) << ::testing::PrintToString(events);
    EXPECT_TRUE(has_event(events, "end 1 *"));
    EXPECT_EQ(moves_of(events).back(), "d2d4");
}

// ---- the splitter ---------------------------------------------------------

std::vector<Splitter::Chunk> split(std::string_view text, std::size_t chunk_bytes, std::size_t piece) {
    Splitter splitter(generator(), chunk_bytes);
    std::vector<Splitter::Chunk> chunks;
    for (std::size_t i = 0; i < text.size(); i += piece) splitter.feed(text.substr(i, piece), chunks);
    splitter.finish(chunks);
    return chunks;
}

// What a reader of each chunk tells, with indices and lines shifted.
std::vector<std::string> read_chunks(const std::vector<Splitter::Chunk>& chunks) {
    std::vector<std::string> events;
    for (const auto& chunk : chunks) {
        Recorder recorder;
        Reader reader(generator(), recorder, {chunk.first_index, chunk.first_line, true, false});
        reader.feed(chunk.data);
        reader.finish();
        events.insert(events.end(), recorder.events.begin(), recorder.events.end());
    }
    return events;
}

TEST(Splitter, ChunksReadAsTheWholeText) {
    const std::string text =
        "\xEF\xBB\xBF% intro\n[Event \"a\"]\n1. e4 {[Event \"no\"]\n%x\n} e5 *\n"
        "1. d4 d5 2. c4 ; } *\n e6 1-0 [Event \"b\"]\n1. Nf3 (1. e4 *\n[Event \"c\"]) *\n"
        "1. e4 e5 2. Nf3\n[Event \"d\"]\n1. Qh5 *\n1. e4 {never closed";
    const auto whole = read(text);
    for (const std::size_t chunk_bytes : {1, 10, 40, 100, 1000})
        for (const std::size_t piece : {1, 3, 64}) {
            const auto chunks = split(text, chunk_bytes, piece);
            EXPECT_EQ(read_chunks(chunks), whole) << chunk_bytes << " " << piece;
            std::string joined;
            for (std::size_t i = 0; i < chunks.size(); ++i) {
                joined += chunks[i].data;
                if (i + 1 < chunks.size()) {
                    EXPECT_GE(chunks[i].data.size(), chunk_bytes);
                }
            }
            EXPECT_EQ(joined, text);
        }
}

TEST(Splitter, AGameCutOffEndsItsChunk) {
    std::string text = "1. e4 *\n1. d4 ";
    const std::string comment = "{" + std::string(MAX_TEXT - 10, 'c') + "}\n";
    while (text.size() <= MAX_GAME_BYTES + 100) text += comment;
    text += "2. Nf3 *\n[Event \"next\"]\n1. c4 *\n";
    const auto whole = read(text);
    const auto chunks = split(text, 1 << 20, 1 << 16);
    EXPECT_EQ(read_chunks(chunks), whole);
    ASSERT_EQ(chunks.size(), 2u);
    EXPECT_EQ(chunks[1].data, "[Event \"next\"]\n1. c4 *\n");
    EXPECT_LE(chunks[0].data.size(), MAX_GAME_BYTES + 20);
}

}  // namespace
