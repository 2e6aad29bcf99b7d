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
        events.push_back("move " + (move == NULL_MOVE ? std::string("0000") : move.text()) + " clock " + std::to_string(game.halfmove_clock) + " number " +
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

std::vector<std::string> read(std::string_view text, std::size_t piece = 0, std::uint64_t* castling_dropped = nullptr) {
    Recorder recorder;
    Reader reader(generator(), recorder, {});
    if (piece == 0) {
        reader.feed(text);
    } else {
        for (std::size_t i = 0; i < text.size(); i += piece) reader.feed(text.substr(i, piece));
    }
    reader.finish();
    if (castling_dropped) *castling_dropped = reader.castling_dropped();
    return recorder.events;
}

std::string replace_all(std::string text, std::string_view from, std::string_view to) {
    for (std::size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
    return text;
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
        FormCase{"empty game", "[Event \"x\"]\n*", {}},
        FormCase{"cr line ends", "%x\r[Event \"x\"]\r\r1. e4 e5 ; note\r2. Nf3 Nc6\r%y\r3. Bb5 *\r", RUY},
        FormCase{"mixed line ends", "[Event \"x\"]\r\n\r1. e4 e5 ; a\n2. Nf3 ; b\r\nNc6 ; c\r3. Bb5 *", RUY},
        FormCase{"glued nags", "1. e4$1 e5$2$14 2. Nf3!$1 Nc6 3. Bb5$13 *", RUY},
        FormCase{"glued nag after a promotion", "[FEN \"8/3P4/8/8/8/8/k7/6K1 w - - 0 1\"]\n1. d8=B$19 Ka1 *",
                 {"d7d8b", "a2a1"}},
        FormCase{"null moves", "1. e4 -- 2. Nf3 Z0 3. 0000 e5 *", {"e2e4", "0000", "g1f3", "0000", "0000", "e7e5"}},
        FormCase{"a quote inside a tag value", "[White \"\"Socrates Expert\"\"]\n1. e4 e5 2. Nf3 Nc6 3. Bb5 *", RUY}));

TEST(Pgn, TagsKeepFileOrderAndUnescape) {
    const auto events = read("[Event \"say \\\"hi\\\" \\\\\"]\n[White \"a\"]\n[Event \"b\"]\n\n*");
    ASSERT_FALSE(events.empty());
    EXPECT_NE(events[0].find("[Event=say \"hi\" \\] [White=a] [Event=b]"), std::string::npos) << events[0];
}

struct TagCase {
    const char* line;
    const char* value;  // nullptr: a bad tag
};

void PrintTo(const TagCase& c, std::ostream* os) { *os << c.line; }

class TagValues : public ::testing::TestWithParam<TagCase> {};

// A value runs from the first quote to the last one before the "]", so
// quotes written inside it without escapes are its own.
TEST_P(TagValues, EndAtTheLastQuoteBeforeTheBracket) {
    const TagCase& c = GetParam();
    const std::string text = std::string(c.line) + "\n1. e4 *\n[Event \"next\"]\n1. d4 *";
    const auto events = read(text);
    for (const std::size_t piece : {1, 2}) EXPECT_EQ(read(text, piece), events);
    if (c.value) {
        EXPECT_EQ(events.front(), std::string("begin 0 line 1 rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - [T=") +
                                      c.value + "]");
    } else {
        EXPECT_TRUE(events.front().starts_with("error bad tag 0 line 1")) << events.front();
    }
    EXPECT_EQ(events.back(), "end 1 *");
}

INSTANTIATE_TEST_SUITE_P(
    Pgn, TagValues,
    ::testing::Values(TagCase{"[T \"\"Socrates Expert\"\"]", "\"Socrates Expert\""},
                      TagCase{"[T \"a \"b\" c\"]", "a \"b\" c"}, TagCase{"[T \"a\"  \"b\"]", "a\"  \"b"},
                      TagCase{"[T \"a\" ]", "a"}, TagCase{"[T \"a\" \t ] ", "a"}, TagCase{"[T \"\"]", ""},
                      TagCase{"[T \"\"\"]", "\""}, TagCase{"[T \"a\\\"\"]", "a\""},
                      TagCase{"[T \"a\"b\\\"c\"]", "a\"b\"c"}, TagCase{"[T \"a\"] [U \"b\"]", "a] [U=b"},
                      TagCase{"[T \"a\" b]", nullptr}, TagCase{"[T \"a\"b", nullptr}, TagCase{"[T \"a]", nullptr},
                      TagCase{"[T \"a\"\r]", nullptr}));

TEST(Pgn, ALineEndsAtLfCrOrCrlf) {
    for (const std::string_view end : {"\n", "\r", "\r\n"}) {
        const std::string text = "; a\n" + replace_all("[Event \"a\"]@@1. e4 e5 1-0 ; note@[Event \"b\"]@@1. d4 *@{x@y}@@"
                                                        "1. c4 *@%z@1. Nf3",
                                                        "@", end);
        const auto events = read(text);
        for (const std::size_t piece : {1, 2, 3}) EXPECT_EQ(read(text, piece), events) << piece;
        std::vector<std::string> lines;
        for (const auto& event : events)
            if (event.starts_with("begin") || event.starts_with("error"))
                lines.push_back(event.substr(0, event.find(' ', event.find("line ") + 5)));
        EXPECT_EQ(lines, (std::vector<std::string>{"begin 0 line 2", "begin 1 line 5", "begin 2 line 11",
                                                   "begin 3 line 13", "error truncated game 3 line 13:"}))
            << ::testing::PrintToString(events);
    }
}

TEST(Pgn, ACastlingRightWithoutKingAndRookAtHomeIsDroppedAndCounted) {
    std::uint64_t dropped = 0;
    const auto events = read(
        "[FEN \"r3k2r/8/8/8/8/8/7R/R3K3 w KQkq - 0 1\"]\n1. O-O-O O-O *\n"
        "[FEN \"4k3/8/8/8/8/8/8/4K3 w KQkq -\"]\n1. Kd2 *\n"
        "[FEN \"r3k2r/8/8/8/8/8/8/R3K2R w KQkq -\"]\n1. O-O *\n"
        "[FEN \"r2k3r/8/8/8/8/8/8/R3K2R b KQkq -\"]\n1... O-O *\n",
        0, &dropped);
    EXPECT_EQ(events[0], "begin 0 line 1 r3k2r/8/8/8/8/8/7R/R3K3 w Qkq - [FEN=r3k2r/8/8/8/8/8/7R/R3K3 w KQkq - 0 1]");
    EXPECT_EQ(moves_of(events), (std::vector<std::string>{"e1c1", "e8g8", "e1d2", "e1g1"}));
    EXPECT_TRUE(events[4].starts_with("begin 1 line 3 4k3/8/8/8/8/8/8/4K3 w - -")) << events[4];
    EXPECT_TRUE(events.back().starts_with("error illegal move 3 line 8 move O-O")) << events.back();
    EXPECT_EQ(dropped, 3u);  // games, not rights
}

TEST(Pgn, ANullMovePassesTheTurn) {
    const auto events = read("[FEN \"4k3/8/8/8/3p4/8/4P3/4K3 w - - 3 10\"]\n10. e4 -- 11. Z0 Kd7 12. e5 0000 *");
    EXPECT_EQ(events, (std::vector<std::string>{
                          "begin 0 line 1 4k3/8/8/8/3p4/8/4P3/4K3 w - - [FEN=4k3/8/8/8/3p4/8/4P3/4K3 w - - 3 10]",
                          "move e2e4 clock 3 number 10",
                          // The en-passant right of d4xe3 lapses with the pass.
                          "move 0000 clock 0 number 10", "move 0000 clock 1 number 11", "move e8d7 clock 2 number 11",
                          "move e4e5 clock 3 number 12", "move 0000 clock 0 number 12", "end 0 *"}));
    // After the null move d4xe3 is no longer possible.
    EXPECT_TRUE(read("[FEN \"4k3/8/8/8/3p4/8/4P3/4K3 w - -\"]\n1. e4 -- 2. Kd1 dxe3 *")[4].starts_with(
        "error illegal move 0 line 2 move dxe3"));
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
        ErrorCase{"fen castling after a drop", "[FEN \"4k3/8/8/8/8/8/8/4K3 w K -\"]\n1. O-O *",
                  "error illegal move 1 line 5 move O-O"},
        ErrorCase{"null move in check", "1. e4 e5 2. Qh5 Nc6 3. Qxe5+ --", "error illegal move 1 line 4 move --"},
        ErrorCase{"truncated in a variation", "1. e4 e5 (1... c5\n2. Nf3", "error truncated game 1 line 5"},
        ErrorCase{"long comment before a game", "{" + std::string(MAX_TEXT + 1, 'c') + "}",
                  "error token too long 1 line 4"},
        ErrorCase{"bad tag", "[Event \"x]\n1. e4 *", "error bad tag 1 line 4"},
        ErrorCase{"tag without value", "[Event x]\n1. e4 *", "error bad tag 1 line 4"},
        // The line of the game's last token, not the next game's first tag.
        ErrorCase{"truncated by tags", "1. e4 e5 2. Nf3", "error truncated game 1 line 4"},
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

TEST(Splitter, ChunksReadAsTheWholeTextWhateverTheLineEnds) {
    const std::string lf =
        "% intro\n[Event \"a\"]\n1. e4 {x\n[Event \"no\"]\n%x\n} e5 ; y\n*\n%z\n1. d4 d5 2. c4 ; } *\n e6 1-0\n"
        ";[Event \"b\"]\n[Event \"c\"]\n\n1. Nf3 (1. e4 *\n[Event \"d\"]) *\n1. e4 e5 2. Nf3\n[Event \"e\"]\n1. Qh5 *";
    for (const std::string_view end : {"\r", "\r\n"}) {
        const std::string text = replace_all(lf, "\n", end);
        const auto whole = read(text);
        EXPECT_EQ(whole.size(), read(lf).size());
        for (const std::size_t chunk_bytes : {1, 30, 100})
            for (const std::size_t piece : {1, 2, 5}) {
                const auto chunks = split(text, chunk_bytes, piece);
                EXPECT_EQ(read_chunks(chunks), whole) << chunk_bytes << " " << piece;
                std::string joined;
                for (const auto& chunk : chunks) joined += chunk.data;
                EXPECT_EQ(joined, text);
            }
    }
}

// Text between games reads as nothing: past MAX_GAP it is left out of the
// chunks, so that no chunk (and nothing the splitter holds) grows with it.
TEST(Splitter, LongTextBetweenGamesIsLeftOut) {
    const std::string blanks(Splitter::MAX_GAP + 1, '\n');
    std::string comments;
    while (comments.size() <= 3 * Splitter::MAX_GAP) comments += "{" + std::string(1000, 'c') + "}\n; x\n%y\r\n";
    const std::string text = "   \n\n" + blanks + "1. e4 *" + blanks + "[Event \"a\"]\n1. d4 *\n" + comments +
                             "1. c4 *\n{" + std::string(MAX_TEXT + 1, 'l') + "}" + blanks + "[Event \"b\"]\n1. Nf3 *\n{" +
                             std::string(MAX_TEXT, 'k') + "}" + blanks + "1. f4 *" + blanks + "{never closed";
    const auto whole = read(text);
    EXPECT_TRUE(has_event(whole, "error token too long 3 line")) << ::testing::PrintToString(whole);
    EXPECT_TRUE(has_event(whole, "end 4 *"));
    EXPECT_TRUE(has_event(whole, "end 5 *"));
    EXPECT_TRUE(whole.back().starts_with("error unterminated comment 6 line")) << whole.back();
    for (const std::size_t chunk_bytes : {1, 1000, 1 << 20})
        for (const std::size_t piece : {std::size_t{7}, std::size_t{4096}, text.size()}) {
            const auto chunks = split(text, chunk_bytes, piece);
            EXPECT_EQ(read_chunks(chunks), whole) << chunk_bytes << " " << piece;
            std::size_t total = 0;
            for (const auto& chunk : chunks) {
                // The longest game here is the comment that fails, with the
                // blanks after it.
                EXPECT_LE(chunk.data.size(), chunk_bytes + 3 * MAX_TEXT) << chunk_bytes << " " << piece;
                total += chunk.data.size();
            }
            EXPECT_LT(total, text.size() - 5 * blanks.size());
        }
}

// Games that start inside text between games, where a reader started at the
// game's first byte would read otherwise: each is in a chunk, after text
// left out or not.
TEST(Splitter, AGameStartingInsideTextBetweenGamesIsInAChunk) {
    const std::string blanks(Splitter::MAX_GAP + 1, '\n');
    for (const std::string& gap : {std::string("\n"), blanks})
        for (const std::string& start : {std::string("{a\nb \x01 c}"), std::string("; a \x02 b"),
                                        std::string("%a \x03"), std::string(" %a"), std::string("{c}%a"),
                                        std::string("\t\xEF\xBB\xBF%a"), " %" + std::string(MAX_SYMBOL, 'a'),
                                        ";" + std::string(MAX_TEXT + 1, ';'), "%" + std::string(MAX_TEXT + 1, ' '),
                                        "{" + std::string(MAX_TEXT + 1, '\n') + "}"}) {
            const std::string text = "1. e4 *" + gap + start + "\n1. d4 *\n[Event \"x\"]\n1. c4 *";
            const auto whole = read(text);
            ASSERT_TRUE(has_event(whole, "error")) << ::testing::PrintToString(whole);
            EXPECT_TRUE(has_event(whole, "end 2 *")) << ::testing::PrintToString(whole);
            for (const std::size_t piece : {std::size_t{1}, std::size_t{5}, text.size()}) {
                const auto chunks = split(text, 1, piece);
                EXPECT_EQ(read_chunks(chunks), whole) << ::testing::PrintToString(start) << " " << piece;
            }
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

// ---- Comments reaching the sink -------------------------------------------

// Records moves and comments; begin() accepts the games without the tag
// "Skip".
class Commenter final : public Sink {
public:
    std::vector<std::string> events;

    [[nodiscard]] bool wants_comments() const override { return true; }
    bool begin(const Game& game) override {
        events.push_back("begin " + std::to_string(game.index));
        return game.tag("Skip") == nullptr;
    }
    void move(const Game&, ChessMove move) override {
        events.push_back("move " + (move == NULL_MOVE ? std::string("0000") : move.text()));
    }
    void comment(const Game& game, std::string_view text) override {
        events.push_back("comment " + std::to_string(game.ply) + " " + std::string(text));
    }
    void end(const Game& game, Result result) override {
        events.push_back("end " + std::to_string(game.index) + " " + result_text(result));
    }
    void error(const Game& game, Error&& error, bool) override {
        events.push_back("error " + std::to_string(game.index) + " " + kind_name(error.kind));
    }
    void filtered(const Game& game) override { events.push_back("filtered " + std::to_string(game.index)); }
};

std::vector<std::string> comments_read(const std::vector<std::string_view>& pieces) {
    Commenter commenter;
    Reader reader(generator(), commenter, {});
    for (const std::string_view piece : pieces) reader.feed(piece);
    reader.finish();
    return commenter.events;
}

std::vector<std::string> comments_read(std::string_view text) { return comments_read(std::vector{text}); }

TEST(Comments, ReachTheSinkInTextOrderAmongTheMoves) {
    const std::string text =
        "{between games} ; line\n[Event \"x\"] {among tags}\n[Site \"y\"]\n{after tags}\n"
        "1. e4 {after e4} {again} e5 (1... c5 {in a variation (no)} (1... d5 {deeper})) {after e5}\n"
        "% escape {not a comment}\n2. Nf3 {a {b} Nc6 $1 {after a nag} 3. Bb5 {last} *\n{after the game}\n"
        "1. d4 {x\ny} 1-0";
    EXPECT_EQ(comments_read(text),
              (std::vector<std::string>{
                  "begin 0", "comment 0 among tags", "comment 0 after tags", "move e2e4", "comment 1 after e4",
                  "comment 1 again", "move e7e5", "comment 2 after e5", "move g1f3", "comment 3 a {b",
                  // A "}" ends the comment: what follows it is movetext.
                  "move b8c6", "comment 4 after a nag", "move f1b5", "comment 5 last", "end 0 *", "begin 1",
                  "move d2d4", "comment 1 x\ny", "end 1 1-0"}));
}

TEST(Comments, SplitAcrossPiecesArePassedWhole) {
    const std::string text = "[Event \"x\"]\n{before}\n1. e4 {a\r\nlonger comment} e5 {} 2. Nf3 {end} *\n1. d4 {z} *";
    const auto whole = comments_read(text);
    EXPECT_EQ(whole[1], "comment 0 before");
    EXPECT_EQ(whole[3], "comment 1 a\r\nlonger comment");
    EXPECT_EQ(whole[5], "comment 2 ");
    for (std::size_t cut = 1; cut < text.size(); ++cut) {
        const std::string_view view(text);
        EXPECT_EQ(comments_read({view.substr(0, cut), view.substr(cut)}), whole) << "cut at " << cut;
    }
    std::vector<std::string_view> bytes;
    for (std::size_t i = 0; i < text.size(); ++i) bytes.push_back(std::string_view(text).substr(i, 1));
    EXPECT_EQ(comments_read(bytes), whole);
}

TEST(Comments, OfGamesNotPlayedAreNotPassed) {
    EXPECT_EQ(comments_read("[Skip \"1\"]\n{a} 1. e4 {b} *\n[Event \"x\"]\n1. e4 {c} Ke3 {d} e5 {e} *\n1. d4 {f} *"),
              (std::vector<std::string>{"begin 0", "filtered 0", "begin 1", "move e2e4", "comment 1 c",
                                        "error 1 illegal move", "begin 2", "move d2d4", "comment 1 f", "end 2 *"}));
}

TEST(Comments, UpToTheLongestAreWholeAndLongerOnesAnError) {
    const std::string longest(MAX_TEXT, 'c');
    const std::string text = "1. e4 {" + longest + "} *\n1. e4 {" + longest + "c} *\n1. d4 {ok} *";
    const std::string_view view(text);
    for (const std::size_t cut : {std::size_t{0}, std::size_t{9}, std::size_t{MAX_TEXT / 2}, std::size_t{MAX_TEXT + 7},
                                  std::size_t{MAX_TEXT + 20}}) {
        const auto events = cut ? comments_read({view.substr(0, cut), view.substr(cut)}) : comments_read(view);
        ASSERT_EQ(events.size(), 11u) << cut;
        EXPECT_EQ(events[2], "comment 1 " + longest) << cut;
        EXPECT_EQ(std::vector<std::string>(events.begin() + 3, events.end()),
                  (std::vector<std::string>{"end 0 *", "begin 1", "move e2e4", "error 1 token too long", "begin 2",
                                            "move d2d4", "comment 1 ok", "end 2 *"}))
            << cut;
    }
}
