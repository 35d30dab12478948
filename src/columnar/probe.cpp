// probe_servers: the connect latency of many quote servers at once, without the interpreter
// lock (the probe waits up to 2 s).

#include "probe/probe.h"

#include "gil.h"
#include "members.h"
#include "py_args.h"
#include "py_error.h"

namespace quillan::py {
namespace {

PyObject* probe_servers(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    static Signature<PairList<Text, U16>> sig{"probe_servers", {"servers"}};
    return guarded([&]() -> PyRef {
        auto [servers] = sig.convert(sig.bind(args, nargsf, kwnames));
        const auto results = without_gil([&] { return probe::ping_servers(std::move(servers)); });
        return list_of(results, [](const probe::Latency& entry) {
            PyRef ip = str_obj(entry.ip);
            PyRef port = uint_obj(entry.port);
            PyRef millis = uint_obj(entry.millis);
            return PyRef::steal(PyTuple_Pack(3, ip.get(), port.get(), millis.get()));
        });
    });
}

PyMethodDef kFunctions[] = {
    {"probe_servers", fastcall(probe_servers), METH_FASTCALL | METH_KEYWORDS,
     "probe_servers(servers)\n--\n\n"
     "(ip, port, latency_ms) of each (ip, port) pair, fastest first: the time a TCP connect\n"
     "took, 9999 when it failed or took over 2 s. Nothing is sent. Use quillan.Client.ping."},
};

}  // namespace

void register_probe(PyObject* module) {
    for (PyMethodDef& def : kFunctions) add_function(module, &def);
}

}  // namespace quillan::py
