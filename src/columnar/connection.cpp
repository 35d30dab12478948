// Connection: a quote-server connection whose market-data and reference-data methods return
// columns (or a text, a file piece). The waits and the decoding run without the interpreter
// lock; the connection itself is the core's columns::MarketConnection.

#include <atomic>
#include <chrono>
#include <cmath>
#include <new>

#include "column_buffer.h"
#include "columns/market_connection.h"
#include "commands/report_file.h"
#include "gil.h"
#include "members.h"
#include "py_args.h"
#include "py_build.h"
#include "py_error.h"

namespace quillan::py {
namespace {

using columns::MarketConnection;

// A method with the fast-call-with-keywords signature.
#define QUILLAN_METHOD(name) \
    PyObject* name(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames)

struct ConnectionObject {
    PyObject_HEAD
    MarketConnection conn;
    std::atomic<bool> borrowed;
};

PyTypeObject* the_type = nullptr;

constexpr double kDefaultTimeout = 30.0;
constexpr double kMaxTimeout = 1e9;  // about 31 years; keeps the deadline arithmetic in range

ConnectionObject* as_connection(PyObject* self) {
    if (PyObject_TypeCheck(self, the_type)) return reinterpret_cast<ConnectionObject*>(self);
    PyRef qualname = PyRef::steal(PyType_GetQualName(Py_TYPE(self)));
    PyErr_Format(PyExc_TypeError, "'%U' object cannot be cast as 'Connection'", qualname.get());
    throw_py_error();
}

// Exclusive use of one connection for the length of a call, as TdxClient has it: a call that
// finds the flag set fails with RuntimeError "Already borrowed".
class Borrow {
  public:
    explicit Borrow(ConnectionObject* obj) : obj_(obj) {
        bool expected = false;
        if (!obj_->borrowed.compare_exchange_strong(expected, true, std::memory_order_acquire)) {
            PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
            throw_py_error();
        }
    }
    ~Borrow() { obj_->borrowed.store(false, std::memory_order_release); }
    Borrow(const Borrow&) = delete;
    Borrow& operator=(const Borrow&) = delete;

  private:
    ConnectionObject* obj_;
};

// Runs the interpreter's signal handlers when a signal interrupts a network wait. The wait runs
// without the interpreter lock, so the check takes it for its length. A handler that raises,
// KeyboardInterrupt on Ctrl-C say, stops the wait: its exception is left pending and becomes the
// call's (the connection is then closed, as after any failed request).
bool run_signal_handlers() {
    const PyGILState_STATE state = PyGILState_Ensure();
    const bool stop = PyErr_CheckSignals() != 0;
    PyGILState_Release(state);
    return stop;
}

// A time-out in seconds, from anything float() takes: finite, above 0 and at most kMaxTimeout.
std::chrono::nanoseconds timeout_from(PyObject* obj) {
    const double seconds = obj == nullptr ? kDefaultTimeout : to_double(obj);
    if (!(seconds > 0 && seconds <= kMaxTimeout)) {  // NaN fails both
        PyRef repr = PyRef::steal(PyObject_Repr(obj));
        PyErr_Format(PyExc_ValueError,
                     "timeout must be a number of seconds above 0 and at most 1e9, not %U",
                     repr.get());
        throw_py_error();
    }
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
        std::chrono::duration<double>(seconds));
}

struct Timeout {
    using type = std::chrono::nanoseconds;
    static constexpr bool kRequired = false;
    static type convert(PyObject* obj) { return timeout_from(obj); }
};

// The columns as a dict of name to ColumnBuffer (typed values) or list of str (texts).
PyRef columns_dict(columns::ColumnList columns) {
    PyRef dict = PyRef::steal(PyDict_New());
    for (columns::MarketColumn& column : columns) {
        PyRef value;
        if (auto* typed = std::get_if<columns::Column>(&column.values)) {
            value = make_column_buffer(std::move(*typed));
        } else {
            const auto& texts = std::get<std::vector<std::string>>(column.values);
            value = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(texts.size())));
            for (size_t i = 0; i < texts.size(); ++i) {
                // The decoder has checked that a text is UTF-8 (or left it empty).
                PyList_SET_ITEM(value.get(), static_cast<Py_ssize_t>(i),
                                str_obj(texts[i]).release());
            }
        }
        if (PyDict_SetItemString(dict.get(), column.name, value.get()) < 0) throw_py_error();
    }
    return dict;
}

// The body of every method that uses the connection: bind, check self, borrow, convert, then
// `op(connection, values...)`.
template <class... Kinds, class Op>
PyObject* connection_call(Signature<Kinds...>& sig, PyObject* self, PyObject* const* args,
                          Py_ssize_t nargsf, PyObject* kwnames, Op&& op) {
    return guarded([&]() -> PyRef {
        auto bound = sig.bind(args, nargsf, kwnames);
        ConnectionObject* obj = as_connection(self);
        Borrow borrow(obj);
        return std::apply([&](auto&&... values) { return op(obj->conn, std::move(values)...); },
                          sig.convert(bound));
    });
}

PyObject* connection_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    static Signature<Timeout> sig{"Connection", {"timeout"}};
    return guarded([&]() -> PyRef {
        auto [timeout] = sig.convert(sig.bind(args, kwargs));
        PyRef self = PyRef::steal(type->tp_alloc(type, 0));
        auto* obj = reinterpret_cast<ConnectionObject*>(self.get());
        new (&obj->conn) MarketConnection(timeout);
        obj->conn.set_interrupt_hook(run_signal_handlers);
        new (&obj->borrowed) std::atomic<bool>(false);
        return self;
    });
}

void connection_dealloc(PyObject* self) {
    auto* obj = reinterpret_cast<ConnectionObject*>(self);
    PyTypeObject* type = Py_TYPE(self);
    obj->conn.~MarketConnection();  // an open socket is closed, without shutdown
    obj->borrowed.~atomic();
    type->tp_free(self);
    Py_DECREF(type);
}

QUILLAN_METHOD(connection_connect) {
    static Signature<Text, U16> sig{"Connection.connect", {"host", "port"}};
    return connection_call(sig, self, args, nargsf, kwnames,
                           [](MarketConnection& conn, std::string host, uint16_t port) {
                               without_gil([&] { conn.connect(host, port); });
                               return PyRef::borrow(Py_None);
                           });
}

PyObject* connection_disconnect(PyObject* self, PyObject*) {
    return guarded([&] {
        ConnectionObject* obj = as_connection(self);
        Borrow borrow(obj);
        obj->conn.disconnect();
        return PyRef::borrow(Py_None);
    });
}

QUILLAN_METHOD(connection_get_security_bars) {
    static Signature<U16, U8, Text, U16, U16> sig{"Connection.get_security_bars",
                                                  {"category", "market", "code", "start", "count"}};
    return connection_call(sig, self, args, nargsf, kwnames,
                           [](MarketConnection& conn, uint16_t category, uint8_t market,
                              std::string code, uint16_t start, uint16_t count) {
                               return columns_dict(without_gil([&] {
                                   return conn.security_bars(category, market, code, start, count);
                               }));
                           });
}

QUILLAN_METHOD(connection_get_security_quotes) {
    static Signature<PairList<U8, Text>> sig{"Connection.get_security_quotes", {"pairs"}};
    return connection_call(
        sig, self, args, nargsf, kwnames,
        [](MarketConnection& conn, PairList<U8, Text>::type pairs) {
            return columns_dict(without_gil([&] { return conn.security_quotes(pairs); }));
        });
}

QUILLAN_METHOD(connection_get_transaction_data) {
    static Signature<U8, Text, U16, U16> sig{"Connection.get_transaction_data",
                                             {"market", "code", "start", "count"}};
    return connection_call(sig, self, args, nargsf, kwnames,
                           [](MarketConnection& conn, uint8_t market, std::string code,
                              uint16_t start, uint16_t count) {
                               return columns_dict(without_gil([&] {
                                   return conn.transaction_data(market, code, start, count);
                               }));
                           });
}

QUILLAN_METHOD(connection_get_xdxr_info) {
    static Signature<U8, Text> sig{"Connection.get_xdxr_info", {"market", "code"}};
    return connection_call(
        sig, self, args, nargsf, kwnames,
        [](MarketConnection& conn, uint8_t market, std::string code) {
            return columns_dict(without_gil([&] { return conn.xdxr(market, code); }));
        });
}

QUILLAN_METHOD(connection_get_finance_info) {
    static Signature<U8, Text> sig{"Connection.get_finance_info", {"market", "code"}};
    return connection_call(
        sig, self, args, nargsf, kwnames,
        [](MarketConnection& conn, uint8_t market, std::string code) {
            return columns_dict(without_gil([&] { return conn.finance(market, code); }));
        });
}

QUILLAN_METHOD(connection_get_company_info_category) {
    static Signature<U8, Text> sig{"Connection.get_company_info_category", {"market", "code"}};
    return connection_call(
        sig, self, args, nargsf, kwnames,
        [](MarketConnection& conn, uint8_t market, std::string code) {
            return columns_dict(without_gil([&] { return conn.company_index(market, code); }));
        });
}

QUILLAN_METHOD(connection_get_company_info_content) {
    static Signature<U8, Text, Text, U32, U32> sig{
        "Connection.get_company_info_content", {"market", "code", "filename", "start", "length"}};
    return connection_call(sig, self, args, nargsf, kwnames,
                           [](MarketConnection& conn, uint8_t market, std::string code,
                              std::string filename, uint32_t start, uint32_t length) {
                               return str_obj(without_gil([&] {
                                   return conn.company_text(market, code, filename, start, length);
                               }));
                           });
}

QUILLAN_METHOD(connection_get_report_file) {
    static Signature<Text, U32> sig{"Connection.get_report_file", {"filename", "offset"}};
    return connection_call(sig, self, args, nargsf, kwnames,
                           [](MarketConnection& conn, std::string filename, uint32_t offset) {
                               const net::ReportPiece piece =
                                   without_gil([&] { return conn.report_piece(filename, offset); });
                               PyRef size = uint_obj(piece.chunk_size);
                               PyRef data = bytes_obj(piece.data);
                               return PyRef::steal(PyTuple_Pack(2, size.get(), data.get()));
                           });
}

PyObject* connection_cancel(PyObject* self, PyObject*) {
    return guarded([&] {
        // No borrow: this is the one call that may run beside another thread's.
        as_connection(self)->conn.cancel();
        return PyRef::borrow(Py_None);
    });
}

PyObject* get_connected(PyObject* self, void*) {
    return guarded([&] {
        // Borrowed like any call: a call under way may close the socket as this reads it.
        ConnectionObject* obj = as_connection(self);
        Borrow borrow(obj);
        return PyRef::borrow(obj->conn.connected() ? Py_True : Py_False);
    });
}

PyObject* get_timeout(PyObject* self, void*) {
    return guarded([&] {
        // No borrow: only the setter writes it, and the setter borrows.
        const auto timeout = as_connection(self)->conn.timeout();
        return float_obj(std::chrono::duration<double>(timeout).count());
    });
}

int set_timeout(PyObject* self, PyObject* value, void*) {
    PyObject* done = guarded([&] {
        if (value == nullptr) {
            PyErr_SetString(PyExc_AttributeError, "timeout cannot be deleted");
            throw_py_error();
        }
        const auto timeout = timeout_from(value);
        ConnectionObject* obj = as_connection(self);
        Borrow borrow(obj);  // a call under way reads it
        obj->conn.set_timeout(timeout);
        return PyRef::borrow(Py_None);
    });
    if (done == nullptr) return -1;
    Py_DECREF(done);
    return 0;
}

constexpr int kFastKw = METH_FASTCALL | METH_KEYWORDS;

PyMethodDef kMethods[] = {
    {"connect", fastcall(connection_connect), kFastKw,
     "connect($self, host, port)\n--\n\n"
     "Opens a connection and runs the set-up exchange; host is numeric IPv4, IPv6 (with or\n"
     "without brackets) or \"localhost\"."},
    {"disconnect", connection_disconnect, METH_NOARGS, "disconnect($self)\n--\n\n"},
    {"cancel", connection_cancel, METH_NOARGS,
     "cancel($self)\n--\n\n"
     "Ends the call under way in another thread, and every later one, with\n"
     "ConnectionAbortedError within 0.05 s; the connection cannot be used again."},
    {"get_security_bars", fastcall(connection_get_security_bars), kFastKw,
     "get_security_bars($self, category, market, code, start, count)\n--\n\n"
     "The bars as a dict of columns."},
    {"get_security_quotes", fastcall(connection_get_security_quotes), kFastKw,
     "get_security_quotes($self, pairs)\n--\n\nThe quotes of (market, code) pairs as a dict of "
     "columns."},
    {"get_transaction_data", fastcall(connection_get_transaction_data), kFastKw,
     "get_transaction_data($self, market, code, start, count)\n--\n\n"
     "The trades as a dict of columns."},
    {"get_xdxr_info", fastcall(connection_get_xdxr_info), kFastKw,
     "get_xdxr_info($self, market, code)\n--\n\n"
     "The ex-rights records as a dict of columns; NaN where a record's category has no such\n"
     "value."},
    {"get_finance_info", fastcall(connection_get_finance_info), kFastKw,
     "get_finance_info($self, market, code)\n--\n\n"
     "The finance summary as a dict of columns: one row, or none without a summary."},
    {"get_company_info_category", fastcall(connection_get_company_info_category), kFastKw,
     "get_company_info_category($self, market, code)\n--\n\n"
     "The sections of the company information as a dict of columns."},
    {"get_company_info_content", fastcall(connection_get_company_info_content), kFastKw,
     "get_company_info_content($self, market, code, filename, start, length)\n--\n\n"
     "length bytes of the company information file from start, as str."},
    {"get_report_file", fastcall(connection_get_report_file), kFastKw,
     "get_report_file($self, filename, offset)\n--\n\n"
     "The piece of a file kept on the server from offset: (announced size, bytes)."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kGetSet[] = {
    {"connected", get_connected, nullptr,
     "True while a connection is open (a failed request closes it).", nullptr},
    {"timeout", get_timeout, set_timeout,
     "The deadline of one request and its response, in seconds.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(connection_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(connection_dealloc)},
    {Py_tp_methods, kMethods},
    {Py_tp_getset, kGetSet},
    {Py_tp_doc,
     const_cast<char*>("Connection(timeout=30.0)\n--\n\n"
                       "A quote-server connection whose market-data methods return dicts of\n"
                       "columns. Each request and its response must be done within `timeout`\n"
                       "seconds (TimeoutError); any failed request closes the connection.\n"
                       "Use it through quillan.columnar.Connection.")},
    {0, nullptr},
};

PyType_Spec kSpec = {
    "quillan._columnar.Connection",
    sizeof(ConnectionObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    kSlots,
};

}  // namespace

void register_connection(PyObject* module) {
    PyRef type = PyRef::steal(PyType_FromSpec(&kSpec));
    the_type = reinterpret_cast<PyTypeObject*>(Py_NewRef(type.get()));  // kept for the self check
    add_member(module, "Connection", std::move(type));
}

}  // namespace quillan::py
