// What training reads from a game's text: the %clk and %eval commands of
// its comments (a malformed one gives no value, never a guess), the comments
// the reader passes to a sink that wants them, in order and whole whatever
// the pieces, and the games table's fields and filters read from the tags.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "encode/games.hpp"
#include "pgn/comment_fields.hpp"
#include "pgn/mod.hpp"
#include "support/mod.hpp"

namespace {

using namespace velmor;
using namespace velmor::pgn;

struct FieldsCase {
    std::string_view text;
    float clock;  // NaN: none
    float eval;   // NaN: none
    int mate;
};

constexpr float NONE = std::numeric_limits<float>::quiet_NaN();

class CommentFieldsTest : public testing::TestWithParam<FieldsCase> {};

TEST_P(CommentFieldsTest, ReadsTheCommandsOrNothing) {
    const FieldsCase& c = GetParam();
    const CommentFields fields = read_comment_fields(c.text);
    if (std::isnan(c.clock)) {
        EXPECT_TRUE(std::isnan(fields.clock)) << c.text;
        EXPECT_FALSE(fields.has_clock) << c.text;
    } else {
        EXPECT_FLOAT_EQ(fields.clock, c.clock) << c.text;
        EXPECT_TRUE(fields.has_clock) << c.text;
    }
    if (std::isnan(c.eval)) EXPECT_TRUE(std::isnan(fields.eval)) << c.text;
    else EXPECT_FLOAT_EQ(fields.eval, c.eval) << c.text;
    EXPECT_EQ(fields.mate, c.mate) << c.text;
}

INSTANTIATE_TEST_SUITE_P(
    Comments, CommentFieldsTest,
    testing::Values(
        FieldsCase{" [%eval 0.17] [%clk 0:03:00] ", 180, 0.17f, 0}, FieldsCase{"[%clk 1:02:03]", 3723, NONE, 0},
        FieldsCase{"[%clk 0:00:05.3]", 5.3f, NONE, 0}, FieldsCase{"[%clk 0:00:05.25]", 5.25f, NONE, 0},
        FieldsCase{"[%eval -1.5]", NONE, -1.5f, 0}, FieldsCase{"[%eval +2]", NONE, 2, 0},
        FieldsCase{"[%eval .5]", NONE, 0.5f, 0}, FieldsCase{"[%eval 0.31,24]", NONE, 0.31f, 0},
        FieldsCase{"[%eval #3]", NONE, NONE, 3}, FieldsCase{"[%eval #-12]", NONE, NONE, -12},
        FieldsCase{"[%eval #+2]", NONE, NONE, 2},
        // Lichess's own layout, and near it: the same values as anywhere else.
        FieldsCase{" [%clk 0:03:00] ", 180, NONE, 0}, FieldsCase{" [%eval #-3] [%clk 0:00:09.5] ", 9.5f, NONE, -3},
        FieldsCase{" [%eval 0.17] ", NONE, 0.17f, 0}, FieldsCase{" [%eval abc] [%clk 0:03:00] ", 180, NONE, 0},
        FieldsCase{" [%eval 0.17] [%clk 0:3:00] [%clk 0:02:00] ", 120, 0.17f, 0},
        FieldsCase{" [%clk 0:03:00] [%eval 0.5] ", 180, 0.5f, 0}, FieldsCase{" [%clk 0:03:00]  ", 180, NONE, 0},
        FieldsCase{" [%clk 0:03:00] Nice.", 180, NONE, 0}, FieldsCase{" [%eval #0] [%clk 0:03:00] ", 180, NONE, 0},
        // Other commands and text pass; the first readable value of each counts.
        FieldsCase{"Blunder. [%csl Ge4][%cal Ge2e4,Rd1d8] [%emt 0:00:03] [%clk 0:01:00]", 60, NONE, 0},
        FieldsCase{"[%clk 0:01:00] [%clk 0:02:00]", 60, NONE, 0},
        FieldsCase{"[%clk 0:1:00] [%clk 0:02:00]", 120, NONE, 0},
        FieldsCase{"[%clk\n0:00:10 ] [%eval\t1.0 ]", 10, 1, 0},
        // Malformed: nothing.
        FieldsCase{"[%clk 0:60:00]", NONE, NONE, 0}, FieldsCase{"[%clk 0:00:60]", NONE, NONE, 0},
        FieldsCase{"[%clk 3:00]", NONE, NONE, 0}, FieldsCase{"[%clk 0:03:00.]", NONE, NONE, 0},
        FieldsCase{"[%clk 0:03:0a]", NONE, NONE, 0}, FieldsCase{"[%clk -0:03:00]", NONE, NONE, 0},
        FieldsCase{"[%clk 0:03:00", NONE, NONE, 0}, FieldsCase{"[%clk]", NONE, NONE, 0},
        FieldsCase{"[%clk 0:03:00x]", NONE, NONE, 0}, FieldsCase{"[%clock 0:03:00]", NONE, NONE, 0},
        FieldsCase{"%clk 0:03:00", NONE, NONE, 0}, FieldsCase{"[%eval]", NONE, NONE, 0},
        FieldsCase{"[%eval abc]", NONE, NONE, 0}, FieldsCase{"[%eval 1.2.3]", NONE, NONE, 0},
        FieldsCase{"[%eval 1e5]", NONE, NONE, 0}, FieldsCase{"[%eval inf]", NONE, NONE, 0},
        FieldsCase{"[%eval nan]", NONE, NONE, 0}, FieldsCase{"[%eval #0]", NONE, NONE, 0},
        FieldsCase{"[%eval #-0]", NONE, NONE, 0}, FieldsCase{"[%eval #40000]", NONE, NONE, 0},
        FieldsCase{"[%eval #]", NONE, NONE, 0}, FieldsCase{"[%eval 12345678.0]", NONE, NONE, 0},
        FieldsCase{"[%eval -]", NONE, NONE, 0}, FieldsCase{"[%eval .]", NONE, NONE, 0},
        FieldsCase{"[%eval 0.5,]", NONE, NONE, 0}, FieldsCase{"[%eval 0.5 0.7]", NONE, NONE, 0},
        FieldsCase{"", NONE, NONE, 0}, FieldsCase{"[", NONE, NONE, 0}, FieldsCase{"[%", NONE, NONE, 0}));

// Comments in Lichess's layout are read by a shortcut, any other by the
// general reading: a text the shortcut takes must give what the general
// reading gives. A leading "x" keeps the shortcut off without changing what
// the general reading finds. The texts are the layout's commands (each
// perhaps left out) with values good and bad, closings right and wrong, and
// something or nothing after, drawn at random (seeded).
TEST(CommentFields, LichessShortcutAgreesWithTheGeneralReading) {
    constexpr std::string_view EVALS[] = {"0.17", "-1.5", "+2", ".5", "5.", "-.5", "#3", "#-12", "#+2", "#0", "#",
                                          "1e5", "1234567.0", "123456.123456789", "0.1234567891", "0.31,24",
                                          "0.5,", "0.5,12345", "1.2.3", "", " 0.5", "--1", "#40000"};
    constexpr std::string_view CLOCKS[] = {"0:03:00", "0:3:00", "12:59:59.5", "12345:00:00", "123456:00:00",
                                           "0:00:05.123456789", "0:00:05.1234567891", "0:60:00", "0:00:60",
                                           "0:00:0", "0:00:05.", "", " 0:01:00", "0:01:00x"};
    constexpr std::string_view CLOSINGS[] = {"] ", "] ", "] ", "]", "]  ", " ] ", "]x", "] ]"};
    constexpr std::string_view TAILS[] = {"", "", "", " ", "x", "[%clk 0:01:00] ", "[%eval 1] ", "\n"};
    std::mt19937 random(2026);
    const auto pick = [&](const auto& list) { return list[random() % std::size(list)]; };
    const auto same = [](float a, float b) { return std::isnan(a) ? std::isnan(b) : a == b; };
    int taken = 0;
    for (int i = 0; i < 100000; ++i) {
        std::string body;
        if (random() % 3) (body += "[%eval ") += pick(EVALS), body += pick(CLOSINGS);
        if (random() % 3) (body += "[%clk ") += pick(CLOCKS), body += pick(CLOSINGS);
        body += pick(TAILS);
        const CommentFields shortcut = read_comment_fields(" " + body);
        const CommentFields general = read_comment_fields("x " + body);
        ASSERT_TRUE(same(shortcut.clock, general.clock) && same(shortcut.eval, general.eval) &&
                    shortcut.mate == general.mate && shortcut.has_clock == general.has_clock &&
                    shortcut.has_eval == general.has_eval)
            << "\"" << body << "\"";
        taken += shortcut.has_clock || shortcut.has_eval;
    }
    EXPECT_GT(taken, 20000);  // the values were read often enough to tell
}

// Records begin, moves and comments with the ply they come at.
class CommentRecorder final : public Sink {
public:
    std::vector<std::string> events;
    bool wanted = true;
    bool accept = true;

    bool begin(const Game&) override {
        events.push_back("begin");
        return accept;
    }
    void move(const Game& game, ChessMove move) override { events.push_back("move " + std::to_string(game.ply) + " " + move.text()); }
    void end(const Game&, Result) override { events.push_back("end"); }
    void error(const Game&, Error&& error, bool) override { events.push_back(std::string("error ") + kind_name(error.kind)); }
    void filtered(const Game&) override { events.push_back("filtered"); }
    bool wants_comments() const override { return wanted; }
    void comment(const Game& game, std::string_view text) override {
        events.push_back("comment " + std::to_string(game.ply) + " " + std::string(text));
    }
};

std::vector<std::string> read_comments(std::string_view text, std::size_t piece, bool wanted = true,
                                       bool accept = true) {
    CommentRecorder recorder;
    recorder.wanted = wanted;
    recorder.accept = accept;
    Reader reader(support::generator(), recorder, {});
    if (piece == 0) reader.feed(text);
    else
        for (std::size_t i = 0; i < text.size(); i += piece) reader.feed(text.substr(i, piece));
    reader.finish();
    return recorder.events;
}

constexpr std::string_view GAME =
    "{before tags} [Event \"x\"] {between\ntags} [Site \"y\"]\n{after tags} 1. e4 {one [%clk 0:01:00]} "
    "(1. d4 {in a variation}) 1... e5 ; a line comment {not one}\n%escape {not one}\n{two}{three} 2. Nf3 {}\n *";

TEST(ReaderComments, PassesTopLevelCommentsInOrderWholeWhateverThePieces) {
    const std::vector<std::string> expected = {
        "begin",           "comment 0 between\ntags", "comment 0 after tags", "move 0 e2e4",
        "comment 1 one [%clk 0:01:00]", "move 1 e7e5", "comment 2 two",     "comment 2 three",
        "move 2 g1f3",     "comment 3 ",             "end"};
    for (const std::size_t piece : {0, 1, 2, 3, 5, 7, 64})
        EXPECT_EQ(read_comments(GAME, piece), expected) << "pieces of " << piece;
}

TEST(ReaderComments, NothingWhenNotWantedOrNotBegun) {
    for (const std::size_t piece : {0, 1}) {
        EXPECT_EQ(read_comments(GAME, piece, false),
                  (std::vector<std::string>{"begin", "move 0 e2e4", "move 1 e7e5", "move 2 g1f3", "end"}));
        EXPECT_EQ(read_comments(GAME, piece, true, false), (std::vector<std::string>{"begin", "filtered"}));
    }
}

TEST(ReaderComments, NoneFromAGameThatFailed) {
    // The comment after the illegal move is never passed; the next game's are.
    const std::string text = "1. e4 {a} 2. Ke3 {b} * 1. d4 {c} *";
    EXPECT_EQ(read_comments(text, 0), (std::vector<std::string>{"begin", "move 0 e2e4", "comment 1 a",
                                                              "error illegal move", "begin", "move 0 d2d4",
                                                              "comment 1 c", "end"}));
    const std::string unterminated = "1. e4 {a} 2. e5 {never closed";
    EXPECT_EQ(read_comments(unterminated, 3), (std::vector<std::string>{"begin", "move 0 e2e4", "comment 1 a",
                                                                      "move 1 e7e5", "error unterminated comment"}));
}

TEST(GameTags, ReadsTheLichessTags) {
    const encode::TagList tags = {{"Event", "Rated Blitz game"}, {"WhiteElo", "1500"},   {"BlackElo", "?"},
                                  {"TimeControl", "180+2"},      {"WhiteTitle", "BOT"},  {"Termination", "Time forfeit"},
                                  {"UTCDate", "2024.??.??"},     {"Date", "2023.10.05"}, {"ECO", "B01"},
                                  {"WhiteRatingDiff", "+7"},     {"BlackRatingDiff", "x"}, {"WhiteElo", "9"}};
    const encode::GameTags g = encode::read_game_tags(tags);
    EXPECT_EQ(g.white_elo, 1500);  // the first of a name counts
    EXPECT_EQ(g.black_elo, -1);
    EXPECT_EQ(g.time_base, 180);
    EXPECT_EQ(g.time_increment, 2);
    EXPECT_EQ(g.speed(), 2);  // 180 + 80 = 260 s: blitz
    EXPECT_EQ(g.rated, 1);
    EXPECT_TRUE(g.white_bot);
    EXPECT_FALSE(g.black_bot);
    EXPECT_EQ(std::string(encode::TERMINATIONS[g.termination]), "time forfeit");
    EXPECT_EQ(g.date, 20231005);
    EXPECT_EQ(std::string(g.eco.data(), 3), "B01");
    EXPECT_EQ(g.white_rating_diff, 7);
    EXPECT_EQ(g.black_rating_diff, INT16_MIN);

    const encode::GameTags none = encode::read_game_tags({{"TimeControl", "-"}, {"Termination", "Stalemate"},
                                                          {"Event", "Casual Rapid game"}, {"ECO", "Z99"}});
    EXPECT_EQ(none.time_base, -1);
    EXPECT_EQ(none.speed(), -1);
    EXPECT_EQ(none.rated, 0);
    EXPECT_EQ(std::string(encode::TERMINATIONS[none.termination]), "other");
    EXPECT_EQ(encode::read_game_tags({}).termination, 0);
    EXPECT_EQ(none.eco, (std::array<char, 3>{}));
}

TEST(GameTags, SpeedBoundariesAndFilters) {
    const auto speed = [](const char* tc) { return encode::read_game_tags({{"TimeControl", tc}}).speed(); };
    EXPECT_EQ(speed("29+0"), 0);
    EXPECT_EQ(speed("30+0"), 1);
    EXPECT_EQ(speed("0+4"), 1);     // 160 s
    EXPECT_EQ(speed("60+3"), 2);    // 180 s
    EXPECT_EQ(speed("479+0"), 2);
    EXPECT_EQ(speed("480+0"), 3);
    EXPECT_EQ(speed("1499"), 3);
    EXPECT_EQ(speed("1500+0"), 4);
    EXPECT_EQ(speed("+5"), -1);
    EXPECT_EQ(speed("300+"), -1);

    encode::Filters f;
    const encode::GameTags bot = encode::read_game_tags(
        {{"WhiteElo", "2000"}, {"BlackElo", "2100"}, {"BlackTitle", "BOT"}, {"TimeControl", "600+0"}, {"Event", "Rated"}});
    EXPECT_EQ(encode::filter_game(f, bot), encode::FILTER_REASON_COUNT);
    f.bots = false;
    EXPECT_EQ(encode::filter_game(f, bot), encode::BOTS);
    f.max_elo = 2050;
    EXPECT_EQ(encode::filter_game(f, bot), encode::MAX_ELO);
    f.max_elo = 2100;
    f.min_elo = 2001;
    EXPECT_EQ(encode::filter_game(f, bot), encode::MIN_ELO);
    f = {};
    f.speeds = 1u << 2;  // blitz only: 600 s is rapid
    EXPECT_EQ(encode::filter_game(f, bot), encode::SPEEDS_FILTER);
    f = {};
    f.rated = 0;
    EXPECT_EQ(encode::filter_game(f, bot), encode::RATED);
}

}  // namespace
