// TdxClient methods for reference data kept on the server.

#include "network/report_file.h"
#include "py_build.h"
#include "py_client.h"
#include "py_methods.h"

namespace quillan::py {

QUILLAN_FASTCALL(client_get_report_file) {
    static Signature<Text, U32> sig{"TdxClient.get_report_file", {"filename", "offset"}};
    return client_call(sig, self, args, nargsf, kwnames,
                       [](net::Connection& conn, std::string filename, uint32_t offset) {
                           net::ReportPiece piece = net::get_report_file(conn, filename, offset);
                           PyRef size = uint_obj(piece.chunk_size);
                           PyRef data = bytes_obj(piece.data);
                           return PyRef::steal(PyTuple_Pack(2, size.get(), data.get()));
                       });
}

}  // namespace quillan::py
