// Reading game collections in PGN, in four layers, one file each:
// - lexer.hpp: bytes to tokens, taking the text in pieces of any size (its
//   state survives between them; nothing is copied but a token crossing the
//   end of a piece);
// - parser.hpp: the reader of the grammar below, telling a Visitor of tags,
//   end of tags, SAN moves, NAGs, comments, variations, outcomes and errors;
//   it knows no board;
// - player.hpp: the visitor that owns the board, sets up each game's start
//   position, plays its mainline and tells a Sink (sink.hpp); Reader puts
//   the parser and a player together;
// - splitter.hpp: the visitor that cuts a collection into chunks of whole
//   games.
//
// Lexing. A line ends at LF, CR or CRLF (old Mac files end lines with CR
// alone). Between tokens: white space, ";" comments to the end of the line,
// and "%" escape lines (a "%" in a line's first column). A "{...}" comment is
// a token (its text runs to the first "}": braces do not nest). A
// "[" opens a tag pair: name, then a quoted value with \" and \\ escapes, then
// "]"; the value ends at the last quote before the "]", so quotes written
// inside it without escapes belong to it. "(" and ")" open and close
// variations (the game player skips them with whatever they hold). Every
// other run of characters is a symbol: a move number ("12." or "12..."),
// possibly glued to a move ("12.e4"), a move in SAN with its marks and NAGs
// glued to it ("Bd3$13"), a null move ("--", "Z0", "0000"),
// a NAG ("$1"), a mark on its own ("!?"), "e.p.", or a game result.
// A byte-order mark is white space wherever it stands; control characters
// other than white space (and the old end-of-file byte 0x1A) are binary data.
//
// Games. A game starts with its first tag pair or, without tags, with its
// first movetext token, and ends with its result at the top level (1-0, 0-1,
// 1/2-1/2, *). A game whose movetext is followed by a new tag pair, or by the
// end of the text, without a result is truncated (the error names the line
// of its last token). After an error the game is skipped to its end found the
// same way, so one bad game never takes another with it. No game is held in
// memory beyond MAX_GAME_BYTES: past that it is cut off ("game too long") and
// skipped to its end. A comment between games ("{", ";" or "%") longer than
// MAX_TEXT is a game of its own that fails ("token too long"), as a "{" one
// that is never closed is ("unterminated comment"), so that nothing between
// games is held in memory either. The comments at the top level of a game's
// mainline reach a sink that wants them (Sink::comment), in text order among
// its moves; those between its tags and its first move once begin() accepted
// it.
#pragma once

#include "pgn/errors.hpp"
#include "pgn/player.hpp"
#include "pgn/sink.hpp"
#include "pgn/splitter.hpp"
