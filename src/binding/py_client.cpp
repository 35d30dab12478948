#include "py_client.h"

#include <span>
#include <vector>

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

// The rows of the methods defined here; the others come from their own files.
const PyMethodDef kConnectionMethods[] = {
    {"connect", fastcall(client_connect), kFastKw, "connect($self, ip, port)\n--\n\n"},
    {"disconnect", client_disconnect, METH_NOARGS, "disconnect($self)\n--\n\n"},
};

}  // namespace

PyRef make_client_type() {
    // The method table: the connection methods, then the market and reference methods, then
    // the end marker. The type points into it, so it is kept for the life of the process,
    // like the type itself.
    static std::vector<PyMethodDef> methods;
    if (methods.empty()) {
        for (std::span<const PyMethodDef> rows : {std::span<const PyMethodDef>(kConnectionMethods),
                                                  market_methods(), reference_methods()}) {
            methods.insert(methods.end(), rows.begin(), rows.end());
        }
        methods.push_back({nullptr, nullptr, 0, nullptr});
    }
    PyType_Slot slots[] = {
        {Py_tp_new, reinterpret_cast<void*>(client_new)},
        {Py_tp_dealloc, reinterpret_cast<void*>(client_dealloc)},
        {Py_tp_methods, methods.data()},
        {Py_tp_doc, const_cast<char*>("TdxClient()\n--\n\n")},
        {0, nullptr},
    };
    // The class presents itself as a builtin: __module__ "builtins", type name "TdxClient". The
    // dotted name sets __module__ (without a dot CPython warns and leaves it unset); the prefix
    // is then dropped from the type name.
    PyType_Spec type_def = {
        "builtins.TdxClient",
        sizeof(ClientObject),
        0,
        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE,
        slots,
    };
    PyRef type = PyRef::steal(PyType_FromSpec(&type_def));
    PyRef name = PyRef::steal(PyUnicode_InternFromString("TdxClient"));
    if (PyObject_SetAttrString(type.get(), "__name__", name.get()) < 0) throw_py_error();
    // Kept for the self check; the type lives as long as the process, like the module.
    client_type = reinterpret_cast<PyTypeObject*>(Py_NewRef(type.get()));
    return type;
}

ClientObject* as_client(PyObject* self) {
    if (!PyObject_TypeCheck(self, client_type)) throw_cast_error(self, "TdxClient");
    return reinterpret_cast<ClientObject*>(self);
}

BorrowGuard::BorrowGuard(ClientObject* client) : client_(client) {
    bool expected = false;
    if (!client_->borrowed.compare_exchange_strong(expected, true, std::memory_order_acquire)) {
        PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
        throw_py_error();
    }
}

}  // namespace quillan::py
