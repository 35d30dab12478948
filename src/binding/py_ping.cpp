// ping_servers: connect latency to many quote servers at once.

#include "probe/probe.h"
#include "py_build.h"
#include "py_client.h"
#include "py_methods.h"

namespace quillan::py {
namespace {

QUILLAN_FASTCALL(module_ping_servers) {
    (void)self;
    static Signature<PairList<Text, U16>> sig{"ping_servers", {"servers"}};
    return function_call(sig, args, nargsf, kwnames, [](std::vector<probe::Server> servers) {
        // The whole list is converted before the first probe starts.
        auto results = probe::ping_servers(std::move(servers));
        return list_of(results, [](const probe::Latency& entry) {
            PyRef ip = str_obj(entry.ip);
            PyRef port = uint_obj(entry.port);
            PyRef millis = uint_obj(entry.millis);
            return PyRef::steal(PyTuple_Pack(3, ip.get(), port.get(), millis.get()));
        });
    });
}

PyMethodDef kFunctions[] = {
    {"ping_servers", fastcall(module_ping_servers), kFastKw,
     "ping_servers(servers)\n--\n\n"
     "Ping multiple TDX HQ servers concurrently and return their response latencies.\n"
     "Returns a list of tuples (ip, port, latency_ms). If a server fails, latency is returned "
     "as 9999."},
};

}  // namespace

std::span<PyMethodDef> ping_functions() { return kFunctions; }

}  // namespace quillan::py
