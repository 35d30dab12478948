#pragma once

#include <atomic>
#include <new>

#include "net/connection.h"
#include "py_args.h"
#include "py_error.h"

namespace quillan::py {

// The instance layout of TdxClient: its connection and its exclusive-use flag, nothing else.
struct ClientObject {
    PyObject_HEAD
    net::Connection conn;
    std::atomic<bool> borrowed;
};

// Creates the TdxClient heap type (a new reference).
PyRef make_client_type();

// The client behind `self`, or TypeError "'X' object cannot be cast as 'TdxClient'".
ClientObject* as_client(PyObject* self);

// Exclusive use of one client for the length of a call: a compare-and-set of its flag, cleared
// on every way out. A call that finds the flag set fails with RuntimeError "Already borrowed".
class BorrowGuard {
  public:
    explicit BorrowGuard(ClientObject* client);
    ~BorrowGuard() { client_->borrowed.store(false, std::memory_order_release); }
    BorrowGuard(const BorrowGuard&) = delete;
    BorrowGuard& operator=(const BorrowGuard&) = delete;

  private:
    ClientObject* client_;
};

// The body of every TdxClient method but disconnect: bind, check self, borrow, convert in
// parameter order, then run `op(connection, values...)`, which returns a PyRef.
template <class... Kinds, class Op>
PyObject* client_call(Signature<Kinds...>& sig, PyObject* self, PyObject* const* args,
                      Py_ssize_t nargsf, PyObject* kwnames, Op&& op) {
    return guarded([&]() -> PyRef {
        auto bound = sig.bind(args, nargsf, kwnames);
        ClientObject* client = as_client(self);
        BorrowGuard borrow(client);
        return std::apply([&](auto&&... values) { return op(client->conn, std::move(values)...); },
                          sig.convert(bound));
    });
}

// The body of every module function: bind, convert, then `op(values...)`.
template <class... Kinds, class Op>
PyObject* function_call(Signature<Kinds...>& sig, PyObject* const* args, Py_ssize_t nargsf,
                        PyObject* kwnames, Op&& op) {
    return guarded([&]() -> PyRef {
        auto bound = sig.bind(args, nargsf, kwnames);
        return std::apply([&](auto&&... values) { return op(std::move(values)...); },
                          sig.convert(bound));
    });
}

}  // namespace quillan::py
