// The module velmor_data._native: the native half of velmor_data. The Python
// package checks and converts the public arguments; this layer takes only
// what the package passes (tuples of str, buffers, plain ints and bools),
// runs the reader and the encoder with the GIL released, and hands the
// arrays over as buffers that NumPy wraps without copying.
//
//   encode_fens(fens: tuple[str, ...]) -> tuple[Buffer | None, int]
//       the planes, or None and the index of the first text that fails
//   Encoder(raise_errors, include_final, min_elo, first_index, first_line)
//       .feed(data) -> bool   False once stopped by an error to raise
//       .finish(); .take_errors() -> list[error]; .result() -> tuple
//       .castling_dropped() -> int   games with a FEN castling right dropped
//   GameReader(raise_errors, first_index, first_line)
//       .feed(data) -> bool; .finish(); .take_events() -> list[(is_error, game | error)]
//       .castling_dropped() -> int
//   Splitter(chunk_bytes)
//       .feed(data) -> list[chunk]; .finish() -> list[chunk]
//   Buffer: a block of bytes exported through the buffer protocol
//   ERROR_KINDS: tuple[str, ...]
//   policy_moves(space: str) -> tuple[str, ...]
//       the space's moves as coordinate text by index, "" where none
//   encode_training(columns, view, history, policy, legal_mask, packed_mask, packed_planes)
//       -> (planes, turn, castling, move_from, move_to, policy | None, legal | None)
//       columns: the ten row buffers the encodings read, in Columns order
//   store_pack(columns, rows) -> (moves, keyframes, runs)
//   Store(parts): .gather, .batch, .encode (below, beside their code)
//   store_extras_pack(columns, rows) -> tuple[Buffer | None, ...]
//   StoreExtras(parts, part_rows, names): .gather (below, beside its code)
//
//   error = (index, line, kind, move | None, message)
//   game  = (tags, fen, moves, result, index, line), a null move as "0000"
//   chunk = (data, first_index, first_line, games)
#include <algorithm>
#include <array>
#include <atomic>
#include <cstdlib>
#include <deque>
#include <cstring>
#include <exception>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include "board/mod.hpp"
#include "encode/bulk.hpp"
#include "encode/columns.hpp"
#include "encode/encoder.hpp"
#include "encode/games.hpp"
#include "encode/mod.hpp"
#include "encodings/mod.hpp"
#include "move_generator/mod.hpp"
#include "pgn/mod.hpp"
#include "policy/mod.hpp"
#include "py_common.hpp"
#include "store/extras.hpp"
#include "store/mod.hpp"

namespace velmor::py {

namespace {

const MoveGenerator& generator() {
    static const MoveGenerator instance;
    return instance;
}

// Runs the body with the GIL released; an exception it throws is thrown
// again once the GIL is held.
template <typename Body>
void without_gil(Body&& body) {
    std::exception_ptr failure;
    Py_BEGIN_ALLOW_THREADS
    try {
        body();
    } catch (...) {
        failure = std::current_exception();
    }
    Py_END_ALLOW_THREADS
    if (failure) std::rethrow_exception(failure);
}

// One caller at a time per object: a second thread gets RuntimeError.
class Busy {
public:
    explicit Busy(std::atomic<bool>& flag) : flag_(flag) { held_ = !flag_.exchange(true); }
    ~Busy() {
        if (held_) flag_.store(false);
    }
    [[nodiscard]] bool held() const {
        if (!held_) PyErr_SetString(PyExc_RuntimeError, "the object is in use by another thread");
        return held_;
    }

private:
    std::atomic<bool>& flag_;
    bool held_;
};

// ---- Buffer ---------------------------------------------------------------

struct BufferObject {
    PyObject_HEAD
    std::uint8_t* data;
    Py_ssize_t size;
};

PyObject* buffer_type_object = nullptr;

int buffer_get(PyObject* self, Py_buffer* view, int flags) {
    auto* buffer = reinterpret_cast<BufferObject*>(self);
    return PyBuffer_FillInfo(view, self, buffer->data, buffer->size, 0, flags);
}

void buffer_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    auto* buffer = reinterpret_cast<BufferObject*>(self);
    encode::bulk_free(buffer->data, static_cast<std::size_t>(buffer->size));
    type->tp_free(self);
    Py_DECREF(type);
}

PyType_Slot buffer_slots[] = {
    {Py_bf_getbuffer, reinterpret_cast<void*>(buffer_get)},
    {Py_tp_dealloc, reinterpret_cast<void*>(buffer_dealloc)},
    {0, nullptr},
};

PyType_Spec buffer_spec = {
    .name = "velmor_data._native.Buffer",
    .basicsize = sizeof(BufferObject),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT,
    .slots = buffer_slots,
};

// A Buffer that owns `data`, a block of bulk_allocate(size); on failure the
// block is freed and nullptr returned with the Python error set.
BufferObject* adopt_buffer(std::uint8_t* data, std::size_t size) {
    auto* type = reinterpret_cast<PyTypeObject*>(buffer_type_object);
    auto* buffer = reinterpret_cast<BufferObject*>(type->tp_alloc(type, 0));
    if (!buffer) {
        encode::bulk_free(data, size);
        return nullptr;
    }
    buffer->data = data;
    buffer->size = static_cast<Py_ssize_t>(size);
    return buffer;
}

// A new Buffer of `size` bytes, not initialised.
BufferObject* new_buffer(std::size_t size) {
    auto* data = static_cast<std::uint8_t*>(encode::bulk_allocate(size));
    if (!data) {
        PyErr_NoMemory();
        return nullptr;
    }
    return adopt_buffer(data, size);
}

// ---- shared pieces ----------------------------------------------------------

PyObject* text_of(const std::string& text) {
    return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
}

PyObject* error_tuple(const pgn::Error& error) {
    Ref move(error.has_move ? text_of(error.move) : Py_NewRef(Py_None));
    if (!move) return nullptr;
    return Py_BuildValue("(KKsON)", static_cast<unsigned long long>(error.index),
                         static_cast<unsigned long long>(error.line), pgn::kind_name(error.kind), move.get(),
                         text_of(error.message));
}

// Feeds a buffer to a reader with the GIL released.
template <typename Feed>
bool feed_buffer(PyObject* data, Feed&& feed) {
    Py_buffer view;
    if (PyObject_GetBuffer(data, &view, PyBUF_SIMPLE) < 0) return false;
    const std::string_view text(static_cast<const char*>(view.buf), static_cast<std::size_t>(view.len));
    try {
        without_gil([&] { feed(text); });
    } catch (...) {
        PyBuffer_Release(&view);
        throw;
    }
    PyBuffer_Release(&view);
    return true;
}

// ---- encode_fens ------------------------------------------------------------

PyObject* encode_fens(PyObject*, PyObject* fens) {
    return guarded([&]() -> PyObject* {
        if (!PyTuple_Check(fens)) {
            PyErr_SetString(PyExc_TypeError, "encode_fens() takes a tuple");
            return nullptr;
        }
        const Py_ssize_t count = PyTuple_GET_SIZE(fens);
        std::vector<std::string_view> texts(static_cast<std::size_t>(count));
        for (Py_ssize_t i = 0; i < count; ++i) {
            PyObject* item = PyTuple_GET_ITEM(fens, i);
            Py_ssize_t size;
            const char* data = PyUnicode_Check(item) ? PyUnicode_AsUTF8AndSize(item, &size) : nullptr;
            if (!data) {
                PyErr_Clear();
                return Py_BuildValue("(On)", Py_None, i);
            }
            texts[static_cast<std::size_t>(i)] = std::string_view(data, static_cast<std::size_t>(size));
        }
        Ref buffer(reinterpret_cast<PyObject*>(new_buffer(texts.size() * encode::PLANE_BYTES)));
        if (!buffer) return nullptr;
        std::uint8_t* out = reinterpret_cast<BufferObject*>(buffer.get())->data;
        Py_ssize_t failed = -1;
        without_gil([&] {
            for (std::size_t i = 0; i < texts.size(); ++i) {
                try {
                    encode::write_planes(read_fen(texts[i]).planes, out + i * encode::PLANE_BYTES);
                } catch (const Failure&) {
                    failed = static_cast<Py_ssize_t>(i);
                    return;
                }
            }
        });
        if (failed >= 0) return Py_BuildValue("(On)", Py_None, failed);
        return Py_BuildValue("(Nn)", buffer.release(), Py_ssize_t{-1});
    });
}

// ---- Encoder ----------------------------------------------------------------

struct GameRecord {
    std::vector<pgn::Tag> tags;
    std::string fen;
    std::vector<ChessMove> moves;
    pgn::Result result = pgn::Result::unknown;
    std::uint64_t index = 0;
    std::uint64_t line = 0;
};

struct Event {
    bool is_error;
    GameRecord game;
    pgn::Error error;
};

class ReadSink final : public pgn::Sink {
public:
    bool raise_errors = false;
    pgn::Reader* reader = nullptr;
    std::vector<Event> events;
    std::uint64_t games_read = 0;

    bool begin(const pgn::Game& game) override {
        current_.tags = game.tags;
        current_.fen = fen(game.start);
        current_.moves.clear();
        current_.index = game.index;
        current_.line = game.line;
        return true;
    }
    void move(const pgn::Game&, ChessMove move) override { current_.moves.push_back(move); }
    void end(const pgn::Game&, pgn::Result result) override {
        current_.result = result;
        events.push_back(Event{false, std::move(current_), {}});
        current_ = GameRecord{};
        ++games_read;
    }
    void error(const pgn::Game&, pgn::Error&& error, bool) override {
        events.push_back(Event{true, {}, std::move(error)});
        ++games_read;
        if (raise_errors) reader->stop();
    }
    void filtered(const pgn::Game&) override { ++games_read; }

private:
    GameRecord current_;
};

PyObject* game_tuple(const GameRecord& game) {
    Ref tags(PyList_New(static_cast<Py_ssize_t>(game.tags.size())));
    if (!tags) return nullptr;
    for (std::size_t i = 0; i < game.tags.size(); ++i) {
        PyObject* pair = Py_BuildValue("(NN)", text_of(game.tags[i].first), text_of(game.tags[i].second));
        if (!pair) return nullptr;
        PyList_SET_ITEM(tags.get(), static_cast<Py_ssize_t>(i), pair);
    }
    Ref moves(PyList_New(static_cast<Py_ssize_t>(game.moves.size())));
    if (!moves) return nullptr;
    for (std::size_t i = 0; i < game.moves.size(); ++i) {
        char text[ChessMove::MAX_TEXT] = {'0', '0', '0', '0'};
        const ChessMove played = game.moves[i];
        PyObject* move = ascii_string(text, played == pgn::NULL_MOVE ? 4 : played.write(text));
        if (!move) return nullptr;
        PyList_SET_ITEM(moves.get(), static_cast<Py_ssize_t>(i), move);
    }
    return Py_BuildValue("(ONOsKK)", tags.get(), ascii_string(game.fen.data(), game.fen.size()), moves.get(),
                         pgn::result_text(game.result), static_cast<unsigned long long>(game.index),
                         static_cast<unsigned long long>(game.line));
}

// ---- the three reader types -----------------------------------------------

template <typename State>
struct StateObject {
    PyObject_HEAD
    State* state;
    std::atomic<bool> busy;
};

template <typename State>
State& state_of(PyObject* self) {
    return *reinterpret_cast<StateObject<State>*>(self)->state;
}

template <typename State>
std::atomic<bool>& busy_of(PyObject* self) {
    return reinterpret_cast<StateObject<State>*>(self)->busy;
}

template <typename State>
void state_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    delete reinterpret_cast<StateObject<State>*>(self)->state;
    type->tp_free(self);
    Py_DECREF(type);
}

template <typename State, typename... Args>
PyObject* new_state_object(PyTypeObject* type, Args&&... args) {
    auto* object = reinterpret_cast<StateObject<State>*>(type->tp_alloc(type, 0));
    if (!object) return nullptr;
    new (&object->busy) std::atomic<bool>(false);
    object->state = nullptr;
    try {
        object->state = new State(std::forward<Args>(args)...);
    } catch (...) {
        Py_DECREF(object);
        throw;
    }
    return reinterpret_cast<PyObject*>(object);
}

struct EncoderState {
    encode::Encoder sink;
    pgn::Reader reader;
    EncoderState(bool raise_errors, bool include_final, const encode::Filters& filters, std::uint32_t skip_plies,
                 std::uint64_t first_index, std::uint64_t first_line, bool read_comments)
        : reader(generator(), sink, pgn::Reader::Options{first_index, first_line, true, false}) {
        sink.raise_errors = raise_errors;
        sink.include_final = include_final;
        sink.filters = filters;
        sink.skip_plies = skip_plies;
        sink.read_comments = read_comments;
        sink.reader = &reader;
    }
};

struct ReaderState {
    ReadSink sink;
    pgn::Reader reader;
    ReaderState(bool raise_errors, std::uint64_t first_index, std::uint64_t first_line)
        : reader(generator(), sink, pgn::Reader::Options{first_index, first_line, true, false}) {
        sink.raise_errors = raise_errors;
        sink.reader = &reader;
    }
};

struct SplitterState {
    pgn::Splitter splitter;
    explicit SplitterState(std::size_t chunk_bytes) : splitter(generator(), chunk_bytes) {}
};

PyObject* encoder_new(PyTypeObject* type, PyObject* args, PyObject*) {
    int raise_errors, include_final, rated, bots, read_comments = 1;
    long long min_elo, max_elo;
    unsigned int speeds, skip_plies;
    unsigned long long first_index, first_line;
    if (!PyArg_ParseTuple(args, "ppLLIipIKK|p", &raise_errors, &include_final, &min_elo, &max_elo, &speeds, &rated,
                          &bots, &skip_plies, &first_index, &first_line, &read_comments))
        return nullptr;
    const encode::Filters filters{min_elo, max_elo, speeds, rated, bots != 0};
    return guarded([&] {
        return new_state_object<EncoderState>(type, raise_errors != 0, include_final != 0, filters, skip_plies,
                                              first_index, first_line, read_comments != 0);
    });
}


PyObject* errors_list(std::vector<pgn::Error>& errors) {
    Ref list(PyList_New(static_cast<Py_ssize_t>(errors.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < errors.size(); ++i) {
        PyObject* item = error_tuple(errors[i]);
        if (!item) return nullptr;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
    }
    errors.clear();
    return list.release();
}

PyObject* encoder_take_errors(PyObject* self, PyObject*) {
    Busy busy(busy_of<EncoderState>(self));
    if (!busy.held()) return nullptr;
    return guarded([&] { return errors_list(state_of<EncoderState>(self).sink.errors); });
}

PyObject* encoder_result(PyObject* self, PyObject*) {
    Busy busy(busy_of<EncoderState>(self));
    if (!busy.held()) return nullptr;
    return guarded([&]() -> PyObject* {
        encode::Encoder& sink = state_of<EncoderState>(self).sink;
        const std::size_t n = sink.columns.size();
        std::array<std::uint8_t*, encode::COLUMN_COUNT> blocks;
        without_gil([&] { blocks = sink.columns.release(); });
        Ref columns(PyTuple_New(encode::COLUMN_COUNT));
        for (std::size_t c = 0; c < encode::COLUMN_COUNT; ++c) {
            BufferObject* buffer = columns ? adopt_buffer(blocks[c], n * encode::COLUMN_BYTES[c]) : nullptr;
            if (!buffer) {
                // This block is freed; the ones after it are not in the tuple yet.
                if (!columns) encode::bulk_free(blocks[c], n * encode::COLUMN_BYTES[c]);
                for (std::size_t rest = c + 1; rest < encode::COLUMN_COUNT; ++rest)
                    encode::bulk_free(blocks[rest], n * encode::COLUMN_BYTES[rest]);
                return nullptr;
            }
            PyTuple_SET_ITEM(columns.get(), static_cast<Py_ssize_t>(c), reinterpret_cast<PyObject*>(buffer));
        }
        // The games table: few rows beside the positions, copied once.
        constexpr std::size_t GAME_COLUMN_COUNT = encode::GAME_COLUMNS.size();
        const std::size_t game_count = sink.games.size();
        Ref games(PyTuple_New(GAME_COLUMN_COUNT));
        if (!games) return nullptr;
        std::array<std::uint8_t*, GAME_COLUMN_COUNT> game_out{};
        for (std::size_t c = 0; c < GAME_COLUMN_COUNT; ++c) {
            BufferObject* buffer = new_buffer(game_count * encode::GAME_COLUMNS[c].bytes);
            if (!buffer) return nullptr;
            game_out[c] = buffer->data;
            PyTuple_SET_ITEM(games.get(), static_cast<Py_ssize_t>(c), reinterpret_cast<PyObject*>(buffer));
        }
        encode::write_game_columns(sink.games, game_out);
        sink.games.clear();
        Ref reasons(PyTuple_New(encode::FILTER_REASON_COUNT));
        if (!reasons) return nullptr;
        for (std::size_t r = 0; r < encode::FILTER_REASON_COUNT; ++r) {
            PyObject* count = PyLong_FromUnsignedLongLong(sink.filtered_by_reason[r]);
            if (!count) return nullptr;
            PyTuple_SET_ITEM(reasons.get(), static_cast<Py_ssize_t>(r), count);
        }
        return Py_BuildValue("(OKKKKOO)", columns.get(), static_cast<unsigned long long>(n),
                             static_cast<unsigned long long>(sink.games_read),
                             static_cast<unsigned long long>(sink.games_encoded),
                             static_cast<unsigned long long>(sink.games_filtered), games.get(), reasons.get());
    });
}

PyObject* reader_new(PyTypeObject* type, PyObject* args, PyObject*) {
    int raise_errors;
    unsigned long long first_index, first_line;
    if (!PyArg_ParseTuple(args, "pKK", &raise_errors, &first_index, &first_line)) return nullptr;
    return guarded([&] { return new_state_object<ReaderState>(type, raise_errors != 0, first_index, first_line); });
}

// feed and finish of the two objects that drive a pgn::Reader (the encoder
// and the game reader): the text goes through the reader with the GIL released.
template <class State>
PyObject* reader_feed(PyObject* self, PyObject* data) {
    Busy busy(busy_of<State>(self));
    if (!busy.held()) return nullptr;
    return guarded([&]() -> PyObject* {
        State& state = state_of<State>(self);
        if (!feed_buffer(data, [&](std::string_view text) { state.reader.feed(text); })) return nullptr;
        return PyBool_FromLong(!state.reader.stopped());
    });
}

template <class State>
PyObject* reader_finish(PyObject* self, PyObject*) {
    Busy busy(busy_of<State>(self));
    if (!busy.held()) return nullptr;
    return guarded([&] { without_gil([&] { state_of<State>(self).reader.finish(); }); });
}

template <class State>
PyObject* reader_castling_dropped(PyObject* self, PyObject*) {
    Busy busy(busy_of<State>(self));
    if (!busy.held()) return nullptr;
    return PyLong_FromUnsignedLongLong(state_of<State>(self).reader.castling_dropped());
}

PyObject* reader_take_events(PyObject* self, PyObject*) {
    Busy busy(busy_of<ReaderState>(self));
    if (!busy.held()) return nullptr;
    return guarded([&]() -> PyObject* {
        std::vector<Event>& events = state_of<ReaderState>(self).sink.events;
        Ref list(PyList_New(static_cast<Py_ssize_t>(events.size())));
        if (!list) return nullptr;
        for (std::size_t i = 0; i < events.size(); ++i) {
            const Event& event = events[i];
            PyObject* item = event.is_error ? error_tuple(event.error) : game_tuple(event.game);
            if (!item) return nullptr;
            PyObject* pair = Py_BuildValue("(ON)", event.is_error ? Py_True : Py_False, item);
            if (!pair) return nullptr;
            PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), pair);
        }
        events.clear();
        return list.release();
    });
}

PyObject* splitter_new(PyTypeObject* type, PyObject* args, PyObject*) {
    Py_ssize_t chunk_bytes;
    if (!PyArg_ParseTuple(args, "n", &chunk_bytes)) return nullptr;
    if (chunk_bytes < 1) {
        PyErr_SetString(PyExc_ValueError, "chunk_bytes must be at least 1");
        return nullptr;
    }
    return guarded(
        [&] { return new_state_object<SplitterState>(type, static_cast<std::size_t>(chunk_bytes)); });
}

PyObject* chunk_list(std::vector<pgn::Splitter::Chunk>& chunks) {
    Ref list(PyList_New(static_cast<Py_ssize_t>(chunks.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < chunks.size(); ++i) {
        const auto& chunk = chunks[i];
        PyObject* item = Py_BuildValue("(y#KKK)", chunk.data.data(), static_cast<Py_ssize_t>(chunk.data.size()),
                                       static_cast<unsigned long long>(chunk.first_index),
                                       static_cast<unsigned long long>(chunk.first_line),
                                       static_cast<unsigned long long>(chunk.games));
        if (!item) return nullptr;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
    }
    return list.release();
}

PyObject* splitter_feed(PyObject* self, PyObject* data) {
    Busy busy(busy_of<SplitterState>(self));
    if (!busy.held()) return nullptr;
    return guarded([&]() -> PyObject* {
        std::vector<pgn::Splitter::Chunk> chunks;
        SplitterState& state = state_of<SplitterState>(self);
        if (!feed_buffer(data, [&](std::string_view text) { state.splitter.feed(text, chunks); })) return nullptr;
        return chunk_list(chunks);
    });
}

PyObject* splitter_finish(PyObject* self, PyObject*) {
    Busy busy(busy_of<SplitterState>(self));
    if (!busy.held()) return nullptr;
    return guarded([&]() -> PyObject* {
        std::vector<pgn::Splitter::Chunk> chunks;
        without_gil([&] { state_of<SplitterState>(self).splitter.finish(chunks); });
        return chunk_list(chunks);
    });
}

PyMethodDef encoder_methods[] = {
    {"feed", reader_feed<EncoderState>, METH_O, nullptr},
    {"finish", reader_finish<EncoderState>, METH_NOARGS, nullptr},
    {"take_errors", encoder_take_errors, METH_NOARGS, nullptr},
    {"result", encoder_result, METH_NOARGS, nullptr},
    {"castling_dropped", reader_castling_dropped<EncoderState>, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyMethodDef reader_methods[] = {
    {"feed", reader_feed<ReaderState>, METH_O, nullptr},
    {"finish", reader_finish<ReaderState>, METH_NOARGS, nullptr},
    {"take_events", reader_take_events, METH_NOARGS, nullptr},
    {"castling_dropped", reader_castling_dropped<ReaderState>, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyMethodDef splitter_methods[] = {
    {"feed", splitter_feed, METH_O, nullptr},
    {"finish", splitter_finish, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot encoder_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(encoder_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(state_dealloc<EncoderState>)},
    {Py_tp_methods, encoder_methods},
    {0, nullptr},
};
PyType_Slot reader_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(reader_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(state_dealloc<ReaderState>)},
    {Py_tp_methods, reader_methods},
    {0, nullptr},
};
PyType_Slot splitter_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(splitter_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(state_dealloc<SplitterState>)},
    {Py_tp_methods, splitter_methods},
    {0, nullptr},
};

PyType_Spec encoder_spec = {"velmor_data._native.Encoder", sizeof(StateObject<EncoderState>), 0, Py_TPFLAGS_DEFAULT,
                            encoder_slots};
PyType_Spec reader_spec = {"velmor_data._native.GameReader", sizeof(StateObject<ReaderState>), 0,
                           Py_TPFLAGS_DEFAULT, reader_slots};
PyType_Spec splitter_spec = {"velmor_data._native.Splitter", sizeof(StateObject<SplitterState>), 0,
                             Py_TPFLAGS_DEFAULT, splitter_slots};

PyObject* policy_moves(PyObject*, PyObject* name) {
    Py_ssize_t length;
    const char* text = PyUnicode_Check(name) ? PyUnicode_AsUTF8AndSize(name, &length) : nullptr;
    if (!text) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "space must be a str");
        return nullptr;
    }
    const std::optional<policy::Space> space = policy::space_named({text, static_cast<std::size_t>(length)});
    if (!space) {
        PyErr_Format(PyExc_ValueError, "space must be 'from_to', 'uci' or 'alphazero', not %R", name);
        return nullptr;
    }
    const std::size_t size = policy::size(*space);
    Ref moves(PyTuple_New(static_cast<Py_ssize_t>(size)));
    if (!moves) return nullptr;
    for (std::size_t i = 0; i < size; ++i) {
        const policy::Entry e = policy::entry(*space, i);
        char buffer[ChessMove::MAX_TEXT];
        std::size_t n = 0;
        if (e.from >= 0) {
            n = ChessMove::pack(static_cast<unsigned>(e.from), static_cast<unsigned>(e.to)).write(buffer);
            if (e.promotion) buffer[n++] = ChessMove::PROMOTION_LETTERS[e.promotion - 1];
        }
        PyObject* item = PyUnicode_FromStringAndSize(buffer, static_cast<Py_ssize_t>(n));
        if (!item) return nullptr;
        PyTuple_SET_ITEM(moves.get(), static_cast<Py_ssize_t>(i), item);
    }
    return moves.release();
}

// ---- encode_training ----------------------------------------------------------

// The options of encode_training and Store.encode, as the Python side
// passes them (checked there): view 0/1, history -1..8, space -1 (none) or
// a policy::Space, the mask flags, the planes' packing.
encodings::Options encoding_options(int view, int history, int space, int legal_mask, int packed_mask,
                                    int packed_planes) {
    encodings::Options options;
    options.view = view ? encodings::View::mover : encodings::View::absolute;
    options.history = history;
    if (space >= 0) options.policy = static_cast<policy::Space>(space);
    options.legal_mask = legal_mask != 0;
    options.packed_mask = packed_mask != 0;
    options.packed_planes = packed_planes != 0;
    return options;
}

// The seven arrays an encoding of `rows` rows gives: planes, turn, castling,
// move_from, move_to, then policy and legal when asked for. `make(size)`
// makes one buffer object of `size` bytes, returning it and its bytes.
class EncodingArrays {
public:
    static constexpr int COUNT = 7;

    // False with the Python error set when a buffer cannot be made.
    template <typename Make>
    bool make(const encodings::Options& options, std::size_t n, Make&& make_buffer) {
        const std::size_t sizes[COUNT] = {n * encodings::row_plane_bytes(options), n, 4 * n, n, n,
                                          options.policy ? 4 * n : 0, n * encodings::mask_bytes(options)};
        const bool wanted[COUNT] = {true, true, true, true, true, options.policy.has_value(), options.legal_mask};
        std::uint8_t* data[COUNT] = {};
        for (int i = 0; i < COUNT; ++i) {
            if (!wanted[i]) continue;
            auto [object, bytes] = make_buffer(sizes[i]);
            if (!object) return false;
            buffers_[i] = Ref(object);
            data[i] = bytes;
        }
        out.planes = data[0];
        out.turn = data[1];
        out.castling = data[2];
        out.move_from = reinterpret_cast<std::int8_t*>(data[3]);
        out.move_to = reinterpret_cast<std::int8_t*>(data[4]);
        out.policy = reinterpret_cast<std::int32_t*>(data[5]);
        out.legal = data[6];
        return true;
    }

    // Puts the arrays (None for one not asked for) into `tuple` from `first` on.
    void move_into(PyObject* tuple, Py_ssize_t first) {
        for (int i = 0; i < COUNT; ++i)
            PyTuple_SET_ITEM(tuple, first + i, buffers_[i] ? buffers_[i].release() : Py_NewRef(Py_None));
    }

    encodings::Outputs out;

private:
    Ref buffers_[COUNT];
};

// The column buffers of a call, released however it ends.
class Views {
public:
    static constexpr std::size_t COUNT = 10;
    ~Views() {
        for (std::size_t i = 0; i < held_; ++i) PyBuffer_Release(&views_[i]);
    }
    // The contiguous bytes of `object`, which must be `bytes` long.
    const void* get(PyObject* object, std::size_t bytes) {
        Py_buffer& view = views_[held_];
        if (PyObject_GetBuffer(object, &view, PyBUF_C_CONTIGUOUS) < 0) return nullptr;
        ++held_;
        if (static_cast<std::size_t>(view.len) != bytes) {
            PyErr_SetString(PyExc_ValueError, "a column's length differs from the row count");
            return nullptr;
        }
        return view.buf;
    }

private:
    Py_buffer views_[COUNT];
    std::size_t held_ = 0;
};

// Bytes per row of each column encode_training reads, in Columns order.
constexpr std::size_t TRAINING_COLUMN_BYTES[Views::COUNT] = {encode::PLANE_BYTES, 1, 4, 1, 4, 1, 1, 1, 8, 4};

PyObject* encode_training(PyObject*, PyObject* args) {
    PyObject* columns;
    int view, history, space, legal_mask, packed_mask, packed_planes;
    Py_ssize_t rows;
    if (!PyArg_ParseTuple(args, "O!niiippp", &PyTuple_Type, &columns, &rows, &view, &history, &space, &legal_mask,
                          &packed_mask, &packed_planes))
        return nullptr;
    if (PyTuple_GET_SIZE(columns) != Views::COUNT || rows < 0) {
        PyErr_SetString(PyExc_ValueError, "encode_training() takes ten columns and a row count");
        return nullptr;
    }
    return guarded([&]() -> PyObject* {
        Views views;
        const void* in[Views::COUNT];
        for (std::size_t i = 0; i < Views::COUNT; ++i)
            if (!(in[i] = views.get(PyTuple_GET_ITEM(columns, static_cast<Py_ssize_t>(i)),
                                    static_cast<std::size_t>(rows) * TRAINING_COLUMN_BYTES[i])))
                return nullptr;
        encodings::Columns c;
        c.rows = static_cast<std::size_t>(rows);
        c.planes = static_cast<const std::uint8_t*>(in[0]);
        c.turn = static_cast<const std::uint8_t*>(in[1]);
        c.castling = static_cast<const std::uint8_t*>(in[2]);
        c.en_passant = static_cast<const std::int8_t*>(in[3]);
        c.halfmove_clock = static_cast<const std::int32_t*>(in[4]);
        c.move_from = static_cast<const std::int8_t*>(in[5]);
        c.move_to = static_cast<const std::int8_t*>(in[6]);
        c.move_promotion = static_cast<const std::uint8_t*>(in[7]);
        c.game = static_cast<const std::int64_t*>(in[8]);
        c.ply = static_cast<const std::int32_t*>(in[9]);

        const encodings::Options options =
            encoding_options(view, history, space, legal_mask, packed_mask, packed_planes);
        EncodingArrays arrays;
        if (!arrays.make(options, c.rows, [](std::size_t size) {
                BufferObject* buffer = new_buffer(size);
                return std::pair{reinterpret_cast<PyObject*>(buffer), buffer ? buffer->data : nullptr};
            }))
            return nullptr;
        without_gil([&] { encodings::encode_rows(generator(), c, options, arrays.out); });
        Ref result(PyTuple_New(EncodingArrays::COUNT));
        if (!result) return nullptr;
        arrays.move_into(result.get(), 0);
        return result.release();
    });
}

// ---- the position store -------------------------------------------------------

using encode::COLUMN_BYTES;
// The store computes back the columns computed from the board and the moves;
// those read from the text travel beside it as extra columns.
constexpr std::size_t COLUMN_COUNT = encode::COMPUTED_COLUMNS;

// The contiguous bytes of a buffer of whole `item`-byte values, aligned for
// them, held until the holder goes.
class HeldBuffer {
public:
    HeldBuffer() = default;
    HeldBuffer(const HeldBuffer&) = delete;
    HeldBuffer& operator=(const HeldBuffer&) = delete;
    ~HeldBuffer() {
        if (held_) PyBuffer_Release(&view_);
    }
    // False with an exception set when the object is no such buffer.
    bool hold(PyObject* object, std::size_t item, const char* name) {
        if (PyObject_GetBuffer(object, &view_, PyBUF_C_CONTIGUOUS) < 0) return false;
        held_ = true;
        const auto address = reinterpret_cast<std::uintptr_t>(view_.buf);
        const std::size_t alignment = item == 2 || item == 4 || item == 8 ? item : 1;
        if (static_cast<std::size_t>(view_.len) % item != 0 || address % alignment != 0) {
            PyErr_Format(PyExc_ValueError, "%s must be whole aligned items of %zu bytes", name, item);
            return false;
        }
        return true;
    }
    [[nodiscard]] const std::uint8_t* data() const { return static_cast<const std::uint8_t*>(view_.buf); }
    [[nodiscard]] std::size_t size() const { return static_cast<std::size_t>(view_.len); }

private:
    Py_buffer view_{};
    bool held_ = false;
};

// The blocks of gathered batches. A loader makes batches of one size again
// and again and drops each soon after: a freed block is kept for the next
// batch of its size, so that its pages are not handed back to the kernel and
// cleared again for every batch (a third of the time otherwise). The blocks
// freed last are the ones kept: a block of a size no longer asked for (an
// epoch's short last batch, other options' arrays) gives way to them rather
// than holding a slot for good.
class BatchBlocks {
public:
    static constexpr std::size_t SLOTS = 32;
    static constexpr std::size_t KEPT_BYTES = std::size_t{128} << 20;

    void* take(std::size_t size) {
        {
            std::lock_guard lock(mutex_);
            for (Kept& kept : kept_)
                if (kept.block && kept.size == size) {
                    total_ -= size;
                    return std::exchange(kept, Kept{}).block;
                }
        }
        return std::aligned_alloc(64, (size + 63) / 64 * 64 + 64);
    }
    void give(void* block, std::size_t size) {
        if (size > KEPT_BYTES) {
            std::free(block);
            return;
        }
        std::array<void*, SLOTS> evicted{};
        std::size_t evicted_count = 0;
        {
            std::lock_guard lock(mutex_);
            // The oldest kept blocks go until this one fits in bytes and slots.
            for (;;) {
                Kept* free_slot = nullptr;
                Kept* oldest = nullptr;
                for (Kept& kept : kept_) {
                    if (!kept.block)
                        free_slot = &kept;
                    else if (!oldest || kept.given < oldest->given)
                        oldest = &kept;
                }
                if (free_slot && total_ + size <= KEPT_BYTES) {
                    *free_slot = {block, size, ++clock_};
                    total_ += size;
                    break;
                }
                total_ -= oldest->size;
                evicted[evicted_count++] = std::exchange(*oldest, Kept{}).block;
            }
        }
        for (std::size_t i = 0; i < evicted_count; ++i) std::free(evicted[i]);
    }

private:
    struct Kept {
        void* block = nullptr;
        std::size_t size = 0;
        std::uint64_t given = 0;  // when it was freed, counted in blocks
    };
    std::mutex mutex_;
    std::array<Kept, SLOTS> kept_{};
    std::size_t total_ = 0;
    std::uint64_t clock_ = 0;
};

// Never destroyed: batches may still be freed while the process ends.
BatchBlocks& batch_blocks() {
    static BatchBlocks* blocks = new BatchBlocks;
    return *blocks;
}

struct BatchBufferObject {
    PyObject_HEAD
    std::uint8_t* data;
    Py_ssize_t size;
};

PyObject* batch_buffer_type_object = nullptr;

int batch_buffer_get(PyObject* self, Py_buffer* view, int flags) {
    auto* buffer = reinterpret_cast<BatchBufferObject*>(self);
    return PyBuffer_FillInfo(view, self, buffer->data, buffer->size, 0, flags);
}

void batch_buffer_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    auto* buffer = reinterpret_cast<BatchBufferObject*>(self);
    if (buffer->data) batch_blocks().give(buffer->data, static_cast<std::size_t>(buffer->size));
    type->tp_free(self);
    Py_DECREF(type);
}

PyType_Slot batch_buffer_slots[] = {
    {Py_bf_getbuffer, reinterpret_cast<void*>(batch_buffer_get)},
    {Py_tp_dealloc, reinterpret_cast<void*>(batch_buffer_dealloc)},
    {0, nullptr},
};

PyType_Spec batch_buffer_spec = {
    .name = "velmor_data._native.BatchBuffer",
    .basicsize = sizeof(BatchBufferObject),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT,
    .slots = batch_buffer_slots,
};

// A new BatchBuffer of `size` bytes, not initialised.
BatchBufferObject* new_batch_buffer(std::size_t size) {
    auto* type = reinterpret_cast<PyTypeObject*>(batch_buffer_type_object);
    auto* buffer = reinterpret_cast<BatchBufferObject*>(type->tp_alloc(type, 0));
    if (!buffer) return nullptr;
    buffer->data = static_cast<std::uint8_t*>(batch_blocks().take(size));
    buffer->size = static_cast<Py_ssize_t>(size);
    if (!buffer->data) {
        Py_DECREF(buffer);
        PyErr_NoMemory();
        return nullptr;
    }
    return buffer;
}

//   store_pack(columns, rows) -> (moves, keyframes, runs)
//       columns: the twelve schema column buffers, in schema order
PyObject* store_pack(PyObject*, PyObject* args) {
    PyObject* columns;
    Py_ssize_t rows;
    if (!PyArg_ParseTuple(args, "O!n", &PyTuple_Type, &columns, &rows)) return nullptr;
    if (PyTuple_GET_SIZE(columns) != static_cast<Py_ssize_t>(COLUMN_COUNT) || rows < 0) {
        PyErr_SetString(PyExc_ValueError, "store_pack() takes twelve columns and a row count");
        return nullptr;
    }
    return guarded([&]() -> PyObject* {
        HeldBuffer held[COLUMN_COUNT];
        const std::uint8_t* in[COLUMN_COUNT];
        for (std::size_t i = 0; i < COLUMN_COUNT; ++i) {
            // Aligned for the values the core reads from it.
            constexpr std::size_t VALUE_BYTES[COLUMN_COUNT] = {1, 1, 1, 1, 4, 4, 1, 1, 1, 1, 8, 4};
            if (!held[i].hold(PyTuple_GET_ITEM(columns, static_cast<Py_ssize_t>(i)), VALUE_BYTES[i], "a column"))
                return nullptr;
            if (held[i].size() != static_cast<std::size_t>(rows) * COLUMN_BYTES[i]) {
                PyErr_SetString(PyExc_ValueError, "a column's length differs from the row count");
                return nullptr;
            }
            in[i] = held[i].data();
        }
        store::Columns c;
        c.planes = in[0];
        c.turn = in[1];
        c.castling = in[2];
        c.en_passant = reinterpret_cast<const std::int8_t*>(in[3]);
        c.halfmove_clock = reinterpret_cast<const std::int32_t*>(in[4]);
        c.fullmove_number = reinterpret_cast<const std::int32_t*>(in[5]);
        c.move_from = reinterpret_cast<const std::int8_t*>(in[6]);
        c.move_to = reinterpret_cast<const std::int8_t*>(in[7]);
        c.move_promotion = in[8];
        c.result = reinterpret_cast<const std::int8_t*>(in[9]);
        c.game = reinterpret_cast<const std::int64_t*>(in[10]);
        c.ply = reinterpret_cast<const std::int32_t*>(in[11]);
        store::Packed packed;
        without_gil([&] { packed = store::pack(c, static_cast<std::size_t>(rows)); });
        const void* parts[3] = {packed.moves.data(), packed.keyframes.data(), packed.runs.data()};
        const std::size_t sizes[3] = {2 * packed.moves.size(), packed.keyframes.size(), packed.runs.size()};
        Ref result(PyTuple_New(3));
        if (!result) return nullptr;
        for (int i = 0; i < 3; ++i) {
            BufferObject* buffer = new_buffer(sizes[i]);
            if (!buffer) return nullptr;
            if (sizes[i]) std::memcpy(buffer->data, parts[i], sizes[i]);
            PyTuple_SET_ITEM(result.get(), i, reinterpret_cast<PyObject*>(buffer));
        }
        return result.release();
    });
}

//   Store(parts)   the arrays of each part, (moves, keyframes, runs), checked
//                  and indexed as one store
//       .gather(indices, fields) -> (Buffer, offsets)
//       .batch(start, count, shuffle, seed, epoch, rank, world_size, fields)
//           -> (Buffer, offsets), the batch's indices, in epoch order, at offset 0
//   fields: bit i for the i-th schema column; offsets: one per schema
//   column, None for a column not asked for
struct StoreState {
    std::deque<HeldBuffer> held;  // a deque: a buffer held never moves
    std::optional<store::Store> store;

    // Every row decoded, made by the first encode that asks for it and kept
    // with the store, its legal moves listed once a legal mask is asked
    // for. Called with the GIL released: threads may ask at once.
    const store::Decoded& decoded(const encodings::Options& options) {
        const std::lock_guard lock(decoding);
        if (!rows) rows = std::make_unique<store::Decoded>(store->decode_rows());
        if (options.legal_mask && options.policy && !rows->lists(options))
            store::list_legal_moves(generator(), *rows, *options.policy, options.view == encodings::View::mover);
        return *rows;
    }

private:
    std::mutex decoding;
    std::unique_ptr<store::Decoded> rows;
};

PyObject* store_new(PyTypeObject* type, PyObject* args, PyObject*) {
    PyObject* parts;
    if (!PyArg_ParseTuple(args, "O!", &PyTuple_Type, &parts)) return nullptr;
    return guarded([&]() -> PyObject* {
        Ref object(new_state_object<StoreState>(type));
        if (!object) return nullptr;
        StoreState& state = state_of<StoreState>(object.get());
        std::vector<store::Part> arrays;
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(parts); ++i) {
            PyObject* part = PyTuple_GET_ITEM(parts, i);
            if (!PyTuple_Check(part) || PyTuple_GET_SIZE(part) != 3) {
                PyErr_SetString(PyExc_TypeError, "a part is a tuple (moves, keyframes, runs)");
                return nullptr;
            }
            HeldBuffer& moves = state.held.emplace_back();
            HeldBuffer& keyframes = state.held.emplace_back();
            HeldBuffer& runs = state.held.emplace_back();
            if (!moves.hold(PyTuple_GET_ITEM(part, 0), 2, "moves") ||
                !keyframes.hold(PyTuple_GET_ITEM(part, 1), store::KEYFRAME_BYTES, "keyframes") ||
                !runs.hold(PyTuple_GET_ITEM(part, 2), store::RUN_BYTES, "runs"))
                return nullptr;
            arrays.push_back({reinterpret_cast<const std::uint16_t*>(moves.data()), moves.size() / 2,
                              keyframes.data(), keyframes.size() / store::KEYFRAME_BYTES, runs.data(),
                              runs.size() / store::RUN_BYTES});
        }
        without_gil([&] { state.store.emplace(std::move(arrays)); });
        return object.release();
    });
}

// The fields of `count` rows in one new Buffer (a batch's arrays are one
// block, so that a batch costs one allocation): the block, its offsets (one
// per schema field, None for a field not wanted) and the core's pointers
// into it. With `indices_first`, room for the indices comes first, at
// offset 0.
struct FieldBlock {
    Ref buffer, offsets;
    std::uint8_t* data = nullptr;
    store::Outputs out;

    // False with the Python error set when the block cannot be made.
    bool make(std::size_t count, unsigned long fields, bool indices_first) {
        constexpr std::size_t ALIGN = 64;
        std::size_t at[COLUMN_COUNT];
        std::size_t total = indices_first ? (8 * count + ALIGN - 1) / ALIGN * ALIGN : 0;
        for (std::size_t c = 0; c < COLUMN_COUNT; ++c) {
            if (!(fields >> c & 1)) continue;
            at[c] = total;
            total += (count * COLUMN_BYTES[c] + ALIGN - 1) / ALIGN * ALIGN;
        }
        buffer = Ref(reinterpret_cast<PyObject*>(new_batch_buffer(total)));
        if (!buffer) return false;
        data = reinterpret_cast<BatchBufferObject*>(buffer.get())->data;
        offsets = Ref(PyTuple_New(COLUMN_COUNT));
        if (!offsets) return false;
        std::uint8_t* column[COLUMN_COUNT] = {};
        for (std::size_t c = 0; c < COLUMN_COUNT; ++c) {
            PyObject* item = Py_NewRef(Py_None);
            if (fields >> c & 1) {
                column[c] = data + at[c];
                Py_DECREF(item);
                if (!(item = PyLong_FromSize_t(at[c]))) return false;
            }
            PyTuple_SET_ITEM(offsets.get(), static_cast<Py_ssize_t>(c), item);
        }
        out.planes = column[0];
        out.turn = column[1];
        out.castling = column[2];
        out.en_passant = reinterpret_cast<std::int8_t*>(column[3]);
        out.halfmove_clock = reinterpret_cast<std::int32_t*>(column[4]);
        out.fullmove_number = reinterpret_cast<std::int32_t*>(column[5]);
        out.move_from = reinterpret_cast<std::int8_t*>(column[6]);
        out.move_to = reinterpret_cast<std::int8_t*>(column[7]);
        out.move_promotion = column[8];
        out.result = reinterpret_cast<std::int8_t*>(column[9]);
        out.game = reinterpret_cast<std::int64_t*>(column[10]);
        out.ply = reinterpret_cast<std::int32_t*>(column[11]);
        return true;
    }
};

// The fields of the rows at `indices`, gathered with the GIL released:
// (buffer, offsets) of a FieldBlock. With `indices_out`, the indices come
// first in the buffer and are made there before the gather.
template <typename MakeIndices>
PyObject* store_fields(const store::Store& s, std::size_t count, unsigned long fields, bool indices_out,
                       MakeIndices&& make_indices) {
    FieldBlock block;
    if (!block.make(count, fields, indices_out)) return nullptr;
    without_gil([&] {
        const std::uint64_t* indices = make_indices(reinterpret_cast<std::uint64_t*>(block.data));
        s.gather(indices, count, block.out);
    });
    return PyTuple_Pack(2, block.buffer.get(), block.offsets.get());
}

PyObject* store_gather(PyObject* self, PyObject* args) {
    PyObject* indices;
    unsigned long fields;
    if (!PyArg_ParseTuple(args, "Ok", &indices, &fields)) return nullptr;
    return guarded([&]() -> PyObject* {
        HeldBuffer held;
        if (!held.hold(indices, 8, "indices")) return nullptr;
        const auto* rows = reinterpret_cast<const std::uint64_t*>(held.data());
        return store_fields(*state_of<StoreState>(self).store, held.size() / 8, fields, false,
                            [&](std::uint64_t*) { return rows; });
    });
}

PyObject* store_batch(PyObject* self, PyObject* args) {
    unsigned long long start, seed, epoch, rank, world_size;
    Py_ssize_t count;
    int shuffle;
    unsigned long fields;
    if (!PyArg_ParseTuple(args, "KnpKKKKk", &start, &count, &shuffle, &seed, &epoch, &rank, &world_size, &fields))
        return nullptr;
    if (count < 0) {
        PyErr_SetString(PyExc_ValueError, "count must be at least 0");
        return nullptr;
    }
    return guarded([&]() -> PyObject* {
        const store::Store& s = *state_of<StoreState>(self).store;
        const std::size_t n = static_cast<std::size_t>(count);
        return store_fields(s, n, fields, true, [&](std::uint64_t* rows) {
            // Sorting a batch's rows was measured no faster: the gather fetches
            // ahead, and rows of one segment rarely meet in a batch of a large store.
            store::epoch_indices(s.rows(), shuffle != 0, seed, epoch, rank, world_size, start, n, rows);
            return rows;
        });
    });
}

//   .encode(indices, fields, view, history, space, legal_mask, packed_mask, packed_planes, decoded, records)
//       -> (planes, turn, castling, move_from, move_to, policy, legal, buffer,
//       offsets): the encodings as encode_training gives them for those rows
//       among all the store's rows, then the `fields` no view changes
//       (en_passant, the clocks, move_promotion, result, game, ply) from the
//       same replay, as .gather gives them. With `decoded`, the same from the
//       store's rows decoded, made on first use and kept; then, with
//       `records` (whole records a row of the store, or None), a Buffer of
//       the rows' records, else None.
PyObject* store_encode(PyObject* self, PyObject* args) {
    PyObject* indices;
    unsigned long fields;
    int view, history, space, legal_mask, packed_mask, packed_planes, decoded;
    PyObject* records;
    if (!PyArg_ParseTuple(args, "OkpiippppO", &indices, &fields, &view, &history, &space, &legal_mask, &packed_mask,
                          &packed_planes, &decoded, &records))
        return nullptr;
    // The fields an encoding gives in its view are not gathered beside it.
    constexpr unsigned long ENCODED = 1ul << encode::PLANES | 1ul << encode::TURN | 1ul << encode::CASTLING |
                                      1ul << encode::MOVE_FROM | 1ul << encode::MOVE_TO;
    fields &= ~ENCODED & ((1ul << COLUMN_COUNT) - 1);
    return guarded([&]() -> PyObject* {
        HeldBuffer held;
        if (!held.hold(indices, 8, "indices")) return nullptr;
        const auto* rows = reinterpret_cast<const std::uint64_t*>(held.data());
        const std::size_t n = held.size() / 8;
        const encodings::Options options =
            encoding_options(view, history, space, legal_mask, packed_mask, packed_planes);
        EncodingArrays arrays;
        if (!arrays.make(options, n, [](std::size_t size) {
                BatchBufferObject* buffer = new_batch_buffer(size);
                return std::pair{reinterpret_cast<PyObject*>(buffer), buffer ? buffer->data : nullptr};
            }))
            return nullptr;
        FieldBlock block;
        if (!block.make(n, fields, false)) return nullptr;
        StoreState& state = state_of<StoreState>(self);
        const store::Store& s = *state.store;
        // The records a row, taken with the rows decoded.
        HeldBuffer held_records;
        store::Records taken;
        Ref taken_buffer(Py_NewRef(Py_None));
        if (records != Py_None) {
            if (!decoded) {
                PyErr_SetString(PyExc_ValueError, "records are taken with decoded rows only");
                return nullptr;
            }
            if (!held_records.hold(records, 1, "records")) return nullptr;
            const std::size_t total = held_records.size();
            if (s.rows() == 0 || total % s.rows() != 0 || total == 0) {
                PyErr_SetString(PyExc_ValueError, "records must be whole records, one a row of the store");
                return nullptr;
            }
            taken.data = held_records.data();
            taken.stride = total / s.rows();
            BatchBufferObject* buffer = new_batch_buffer(n * taken.stride);
            if (!buffer) return nullptr;
            taken_buffer = Ref(reinterpret_cast<PyObject*>(buffer));
            taken.out = buffer->data;
        }
        without_gil([&] {
            if (decoded)
                s.encode(state.decoded(options), rows, n, generator(), options, arrays.out, block.out, taken);
            else
                s.encode(rows, n, generator(), options, arrays.out, block.out);
        });
        Ref result(PyTuple_New(EncodingArrays::COUNT + 3));
        if (!result) return nullptr;
        arrays.move_into(result.get(), 0);
        PyTuple_SET_ITEM(result.get(), EncodingArrays::COUNT, block.buffer.release());
        PyTuple_SET_ITEM(result.get(), EncodingArrays::COUNT + 1, block.offsets.release());
        PyTuple_SET_ITEM(result.get(), EncodingArrays::COUNT + 2, taken_buffer.release());
        return result.release();
    });
}

PyMethodDef store_methods[] = {
    {"gather", store_gather, METH_VARARGS, nullptr},
    {"batch", store_batch, METH_VARARGS, nullptr},
    {"encode", store_encode, METH_VARARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot store_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(store_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(state_dealloc<StoreState>)},
    {Py_tp_methods, store_methods},
    {0, nullptr},
};

PyType_Spec store_spec = {"velmor_data._native.Store", sizeof(StateObject<StoreState>), 0, Py_TPFLAGS_DEFAULT,
                          store_slots};

// ---- the store's extra columns ----------------------------------------------

//   store_extras_pack(columns, rows) -> tuple of Buffer | None
//       columns: (buffer, kind) each, kind an extras::Kind code; None for a
//       column better kept as it is
PyObject* store_extras_pack(PyObject*, PyObject* args) {
    PyObject* columns;
    Py_ssize_t rows;
    if (!PyArg_ParseTuple(args, "O!n", &PyTuple_Type, &columns, &rows)) return nullptr;
    if (rows < 0) {
        PyErr_SetString(PyExc_ValueError, "rows must be at least 0");
        return nullptr;
    }
    return guarded([&]() -> PyObject* {
        const Py_ssize_t count = PyTuple_GET_SIZE(columns);
        std::deque<HeldBuffer> held;
        std::vector<store::extras::Input> inputs;
        for (Py_ssize_t c = 0; c < count; ++c) {
            PyObject* item = PyTuple_GET_ITEM(columns, c);
            PyObject* buffer;
            int kind;
            if (!PyArg_ParseTuple(item, "Oi", &buffer, &kind)) return nullptr;
            if (kind < 0 || kind >= static_cast<int>(store::extras::KIND_COUNT)) {
                PyErr_SetString(PyExc_ValueError, "an unknown column kind");
                return nullptr;
            }
            const auto k = static_cast<store::extras::Kind>(kind);
            if (!held.emplace_back().hold(buffer, 1, "an extra column")) return nullptr;
            if (held.back().size() != static_cast<std::size_t>(rows) * store::extras::kind_bytes(k)) {
                PyErr_SetString(PyExc_ValueError, "an extra column's length differs from the row count");
                return nullptr;
            }
            inputs.push_back({k, held.back().data()});
        }
        std::vector<std::vector<std::uint8_t>> encoded;
        without_gil([&] { encoded = store::extras::encode(inputs, static_cast<std::size_t>(rows)); });
        Ref result(PyTuple_New(count));
        if (!result) return nullptr;
        for (Py_ssize_t c = 0; c < count; ++c) {
            const std::vector<std::uint8_t>& bytes = encoded[static_cast<std::size_t>(c)];
            PyObject* item = Py_NewRef(Py_None);
            if (!bytes.empty()) {
                Py_DECREF(item);
                BufferObject* buffer = new_buffer(bytes.size());
                if (!buffer) return nullptr;
                std::memcpy(buffer->data, bytes.data(), bytes.size());
                item = reinterpret_cast<PyObject*>(buffer);
            }
            PyTuple_SET_ITEM(result.get(), c, item);
        }
        return result.release();
    });
}

//   StoreExtras(parts, part_rows, names)
//       parts: per part, per column (buffer, row_bytes), row_bytes 0 for an
//       encoded column; checked (ValueError naming a damaged column)
//       .gather(indices, wanted) -> (Buffer, offsets): wanted a tuple of
//       bools a column, offsets an int or None a column
struct StoreExtrasState {
    std::deque<HeldBuffer> held;
    std::optional<store::extras::Table> table;
};

PyObject* store_extras_new(PyTypeObject* type, PyObject* args, PyObject*) {
    PyObject *parts, *part_rows, *names;
    if (!PyArg_ParseTuple(args, "O!O!O!", &PyTuple_Type, &parts, &PyTuple_Type, &part_rows, &PyTuple_Type, &names))
        return nullptr;
    return guarded([&]() -> PyObject* {
        Ref object(new_state_object<StoreExtrasState>(type));
        if (!object) return nullptr;
        StoreExtrasState& state = state_of<StoreExtrasState>(object.get());
        if (PyTuple_GET_SIZE(part_rows) != PyTuple_GET_SIZE(parts)) {
            PyErr_SetString(PyExc_ValueError, "a row count a part");
            return nullptr;
        }
        std::vector<std::vector<store::extras::Column>> columns;
        std::vector<std::size_t> rows;
        for (Py_ssize_t p = 0; p < PyTuple_GET_SIZE(parts); ++p) {
            PyObject* part = PyTuple_GET_ITEM(parts, p);
            const std::size_t n = PyLong_AsSize_t(PyTuple_GET_ITEM(part_rows, p));
            if (n == static_cast<std::size_t>(-1) && PyErr_Occurred()) return nullptr;
            if (!PyTuple_Check(part) || PyTuple_GET_SIZE(part) != PyTuple_GET_SIZE(names)) {
                PyErr_SetString(PyExc_TypeError, "a part is a tuple of (buffer, row_bytes), one a column");
                return nullptr;
            }
            rows.push_back(n);
            std::vector<store::extras::Column>& out = columns.emplace_back();
            for (Py_ssize_t c = 0; c < PyTuple_GET_SIZE(part); ++c) {
                PyObject* buffer;
                Py_ssize_t row_bytes;
                if (!PyArg_ParseTuple(PyTuple_GET_ITEM(part, c), "On", &buffer, &row_bytes)) return nullptr;
                const char* name = PyUnicode_AsUTF8(PyTuple_GET_ITEM(names, c));
                if (!name) return nullptr;
                HeldBuffer& bytes = state.held.emplace_back();
                if (!bytes.hold(buffer, 1, "an extra column")) return nullptr;
                if (row_bytes < 0 || (row_bytes > 0 && bytes.size() != n * static_cast<std::size_t>(row_bytes))) {
                    PyErr_Format(PyExc_ValueError, "extra column %s must have %zu rows", name, n);
                    return nullptr;
                }
                out.push_back(row_bytes ? store::extras::Column::plain(bytes.data(), n, static_cast<std::size_t>(row_bytes))
                                        : store::extras::Column::encoded(bytes.data(), bytes.size(), name));
            }
        }
        without_gil([&] { state.table.emplace(std::move(columns), rows); });
        return object.release();
    });
}

PyObject* store_extras_gather(PyObject* self, PyObject* args) {
    PyObject *indices, *wanted;
    if (!PyArg_ParseTuple(args, "OO!", &indices, &PyTuple_Type, &wanted)) return nullptr;
    return guarded([&]() -> PyObject* {
        const store::extras::Table& table = *state_of<StoreExtrasState>(self).table;
        if (static_cast<std::size_t>(PyTuple_GET_SIZE(wanted)) != table.columns()) {
            PyErr_SetString(PyExc_ValueError, "a bool a column");
            return nullptr;
        }
        HeldBuffer held;
        if (!held.hold(indices, 8, "indices")) return nullptr;
        const auto* rows = reinterpret_cast<const std::uint64_t*>(held.data());
        const std::size_t count = held.size() / 8;
        constexpr std::size_t ALIGN = 64;
        std::vector<std::size_t> offsets(table.columns());
        std::size_t total = 0;
        for (std::size_t c = 0; c < table.columns(); ++c) {
            if (!PyObject_IsTrue(PyTuple_GET_ITEM(wanted, static_cast<Py_ssize_t>(c)))) continue;
            offsets[c] = total;
            total += (count * table.row_bytes(c) + ALIGN - 1) / ALIGN * ALIGN;
        }
        Ref buffer(reinterpret_cast<PyObject*>(new_batch_buffer(total)));
        if (!buffer) return nullptr;
        std::uint8_t* data = reinterpret_cast<BatchBufferObject*>(buffer.get())->data;
        Ref offset_tuple(PyTuple_New(static_cast<Py_ssize_t>(table.columns())));
        if (!offset_tuple) return nullptr;
        std::vector<std::uint8_t*> out(table.columns(), nullptr);
        for (std::size_t c = 0; c < table.columns(); ++c) {
            PyObject* item = Py_NewRef(Py_None);
            if (PyObject_IsTrue(PyTuple_GET_ITEM(wanted, static_cast<Py_ssize_t>(c)))) {
                out[c] = data + offsets[c];
                Py_DECREF(item);
                if (!(item = PyLong_FromSize_t(offsets[c]))) return nullptr;
            }
            PyTuple_SET_ITEM(offset_tuple.get(), static_cast<Py_ssize_t>(c), item);
        }
        without_gil([&] { table.gather(rows, count, out.data()); });
        return PyTuple_Pack(2, buffer.get(), offset_tuple.get());
    });
}

PyMethodDef store_extras_methods[] = {
    {"gather", store_extras_gather, METH_VARARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot store_extras_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(store_extras_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(state_dealloc<StoreExtrasState>)},
    {Py_tp_methods, store_extras_methods},
    {0, nullptr},
};

PyType_Spec store_extras_spec = {"velmor_data._native.StoreExtras", sizeof(StateObject<StoreExtrasState>), 0,
                                 Py_TPFLAGS_DEFAULT, store_extras_slots};

PyMethodDef module_methods[] = {
    {"encode_fens", encode_fens, METH_O, nullptr},
    {"policy_moves", policy_moves, METH_O, nullptr},
    {"encode_training", encode_training, METH_VARARGS, nullptr},
    {"store_pack", store_pack, METH_VARARGS, nullptr},
    {"store_extras_pack", store_extras_pack, METH_VARARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "velmor_data._native",
    .m_doc = "The native reader and encoder of velmor_data.",
    .m_size = 0,
    .m_methods = module_methods,
    .m_slots = nullptr,
    .m_traverse = nullptr,
    .m_clear = nullptr,
    .m_free = nullptr,
};

PyObject* init_module() {
    Ref module(PyModule_Create(&module_def));
    if (!module || !create_panic_type()) return nullptr;
    if (!buffer_type_object) {
        buffer_type_object = PyType_FromSpec(&buffer_spec);
        if (!buffer_type_object) return nullptr;
    }
    if (PyModule_AddObjectRef(module.get(), "Buffer", buffer_type_object) < 0) return nullptr;
    if (!batch_buffer_type_object) {
        batch_buffer_type_object = PyType_FromSpec(&batch_buffer_spec);
        if (!batch_buffer_type_object) return nullptr;
    }
    for (PyType_Spec* spec : {&encoder_spec, &reader_spec, &splitter_spec, &store_spec, &store_extras_spec}) {
        Ref type(PyType_FromSpec(spec));
        if (!type) return nullptr;
        const char* name = std::strrchr(spec->name, '.') + 1;
        if (PyModule_AddObjectRef(module.get(), name, type.get()) < 0) return nullptr;
    }
    Ref kinds(PyTuple_New(pgn::ERROR_KIND_COUNT));
    if (!kinds) return nullptr;
    for (std::size_t i = 0; i < pgn::ERROR_KIND_COUNT; ++i) {
        PyObject* name = PyUnicode_FromString(pgn::kind_name(static_cast<pgn::ErrorKind>(i)));
        if (!name) return nullptr;
        PyTuple_SET_ITEM(kinds.get(), static_cast<Py_ssize_t>(i), name);
    }
    if (PyModule_AddObjectRef(module.get(), "ERROR_KINDS", kinds.get()) < 0) return nullptr;
    Ref schema(PyTuple_New(encode::COLUMN_COUNT));
    if (!schema) return nullptr;
    for (std::size_t c = 0; c < encode::COLUMN_COUNT; ++c) {
        const encode::ColumnSpec& spec = encode::SCHEMA[c];
        Ref shape(PyTuple_New(spec.dimensions));
        if (!shape) return nullptr;
        for (unsigned d = 0; d < spec.dimensions; ++d) {
            PyObject* extent = PyLong_FromSize_t(spec.shape[d]);
            if (!extent) return nullptr;
            PyTuple_SET_ITEM(shape.get(), d, extent);
        }
        PyObject* entry = Py_BuildValue("(ssOsO)", spec.name, spec.dtype, shape.get(), spec.meaning,
                                        spec.computed ? Py_True : Py_False);
        if (!entry) return nullptr;
        PyTuple_SET_ITEM(schema.get(), static_cast<Py_ssize_t>(c), entry);
    }
    if (PyModule_AddObjectRef(module.get(), "SCHEMA", schema.get()) < 0) return nullptr;
    Ref game_columns(PyTuple_New(encode::GAME_COLUMNS.size()));
    if (!game_columns) return nullptr;
    for (std::size_t c = 0; c < encode::GAME_COLUMNS.size(); ++c) {
        PyObject* entry = Py_BuildValue("(ss)", encode::GAME_COLUMNS[c].name, encode::GAME_COLUMNS[c].dtype);
        if (!entry) return nullptr;
        PyTuple_SET_ITEM(game_columns.get(), static_cast<Py_ssize_t>(c), entry);
    }
    if (PyModule_AddObjectRef(module.get(), "GAME_COLUMNS", game_columns.get()) < 0) return nullptr;
    const auto name_tuple = [](const auto& names) -> PyObject* {
        Ref tuple(PyTuple_New(static_cast<Py_ssize_t>(names.size())));
        if (!tuple) return nullptr;
        for (std::size_t i = 0; i < names.size(); ++i) {
            PyObject* name = PyUnicode_FromString(names[i]);
            if (!name) return nullptr;
            PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(i), name);
        }
        return tuple.release();
    };
    Ref terminations(name_tuple(encode::TERMINATIONS));
    if (!terminations || PyModule_AddObjectRef(module.get(), "TERMINATIONS", terminations.get()) < 0) return nullptr;
    Ref speeds(name_tuple(encode::SPEEDS));
    if (!speeds || PyModule_AddObjectRef(module.get(), "SPEEDS", speeds.get()) < 0) return nullptr;
    Ref reasons(name_tuple(encode::FILTER_REASONS));
    if (!reasons || PyModule_AddObjectRef(module.get(), "FILTER_REASONS", reasons.get()) < 0) return nullptr;
    if (PyModule_AddStringConstant(module.get(), "__version__", VELMOR_VERSION) < 0) return nullptr;
    if (PyModule_AddIntConstant(module.get(), "STORE_KEYFRAME_PLIES", store::KEYFRAME_PLIES) < 0) return nullptr;
    (void)generator();  // the tables, once, at import
    return module.release();
}

}  // namespace

}  // namespace velmor::py

extern "C" __attribute__((visibility("default"))) PyObject* PyInit__native() {
    return velmor::py::guarded([] { return velmor::py::init_module(); });
}
