#include "py_client.h"

#include "py_methods.h"

namespace quillan::py {
namespace {

PyTypeObject* client_type = nullptr;

// Runs the interpreter's signal handlers when a signal interrupts a network wait (the lock is
// held throughout, so this is the only chance they get before the call returns). A handler
// that raises, KeyboardInterrupt on Ctrl-C say, stops the wait: its exception is left pending
// and becomes the call's.
bool run_signal_handlers() { return PyErr_CheckSignals() != 0; }

PyObject* client_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    static Signature<> sig{"TdxClient.__new__", {}};
    return guarded([&]() -> PyRef {
        sig.bind(args, kwargs);
        PyRef self = PyRef::steal(type->tp_alloc(type, 0));
        auto* client = reinterpret_cast<ClientObject*>(self.get());
        new (&client->conn) net::Connection();
        client->conn.set_interrupt_hook(run_signal_handlers);
        new (&client->borrowed) std::atomic<bool>(false);
        return self;
    });
}

void client_dealloc(PyObject* self) {
    auto* client = reinterpret_cast<ClientObject*>(self);
    PyTypeObject* type = Py_TYPE(self);
    client->conn.~Connection();  // an open socket is closed, without shutdown
    client->borrowed.~atomic();
    type->tp_free(self);
    Py_DECREF(type);
}

QUILLAN_FASTCALL(client_connect) {
    static Signature<Text, U16> sig{"TdxClient.connect", {"ip", "port"}};
    return client_call(sig, self, args, nargsf, kwnames,
                       [](net::Connection& conn, std::string ip, uint16_t port) {
                           conn.connect(ip, port);
                           return PyRef::borrow(Py_True);
                       });
}

PyObject* client_disconnect(PyObject* self, PyObject*) {
    return guarded([&] {
        ClientObject* client = as_client(self);
        BorrowGuard borrow(client);
        client->conn.disconnect();
        return PyRef::borrow(Py_None);
    });
}

template <class Fn>
constexpr PyCFunction fastcall(Fn fn) {
    // The interpreter calls it with the fast-call-with-keywords signature (METH_FASTCALL |
    // METH_KEYWORDS); the detour through void(*)() is the sanctioned way to store it.
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn));
}

constexpr int kFastKw = METH_FASTCALL | METH_KEYWORDS;

PyMethodDef kMethods[] = {
    {"connect", fastcall(client_connect), kFastKw, "connect($self, ip, port)\n--\n\n"},
    {"disconnect", client_disconnect, METH_NOARGS, "disconnect($self)\n--\n\n"},
    {"get_security_bars", fastcall(client_get_security_bars), kFastKw,
     "get_security_bars($self, category, market, code, start, count)\n--\n\n"
     "category: 0..11, market: 0/1, code: \"600036\", start: offset, count: num"},
    {"get_security_quotes", fastcall(client_get_security_quotes), kFastKw,
     "get_security_quotes($self, stock_list)\n--\n\n"},
    {"get_transaction_data", fastcall(client_get_transaction_data), kFastKw,
     "get_transaction_data($self, market, code, start, count)\n--\n\n"},
    {"get_report_file", fastcall(client_get_report_file), kFastKw,
     "get_report_file($self, filename, offset)\n--\n\n"},
    {"get_xdxr_info", fastcall(client_get_xdxr_info), kFastKw,
     "get_xdxr_info($self, market, code)\n--\n\n"},
    {"get_finance_info", fastcall(client_get_finance_info), kFastKw,
     "get_finance_info($self, market, code)\n--\n\n"},
    {"get_company_info_category", fastcall(client_get_company_info_category), kFastKw,
     "get_company_info_category($self, market, code)\n--\n\n"},
    {"get_company_info_content", fastcall(client_get_company_info_content), kFastKw,
     "get_company_info_content($self, market, code, filename, start, length)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(client_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(client_dealloc)},
    {Py_tp_methods, kMethods},
    {Py_tp_doc, const_cast<char*>("TdxClient()\n--\n\n")},
    {0, nullptr},
};

// The class presents itself as a builtin: __module__ "builtins", type name "TdxClient". The
// dotted spec name sets __module__ (without a dot CPython warns and leaves it unset);
// make_client_type then drops the prefix from the type name.
PyType_Spec kSpec = {
    "builtins.TdxClient", sizeof(ClientObject), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE, kSlots,
};

}  // namespace

PyRef make_client_type() {
    PyRef type = PyRef::steal(PyType_FromSpec(&kSpec));
    PyRef name = PyRef::steal(PyUnicode_InternFromString("TdxClient"));
    if (PyObject_SetAttrString(type.get(), "__name__", name.get()) < 0) throw_py_error();
    // Kept for the self check; the type lives as long as the process, like the module.
    client_type = reinterpret_cast<PyTypeObject*>(Py_NewRef(type.get()));
    return type;
}

ClientObject* as_client(PyObject* self) {
    if (PyObject_TypeCheck(self, client_type)) return reinterpret_cast<ClientObject*>(self);
    PyRef qualname = PyRef::steal(PyType_GetQualName(Py_TYPE(self)));
    PyErr_Format(PyExc_TypeError, "'%U' object cannot be cast as 'TdxClient'", qualname.get());
    throw_py_error();
}

BorrowGuard::BorrowGuard(ClientObject* client) : client_(client) {
    bool expected = false;
    if (!client_->borrowed.compare_exchange_strong(expected, true, std::memory_order_acquire)) {
        PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
        throw_py_error();
    }
}

}  // namespace quillan::py
