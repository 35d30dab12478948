#include "commands/report_file.h"

#include "net/framing.h"
#include "protocol/cursor.h"

namespace quillan::net {

std::vector<uint8_t> report_file_request(std::string_view filename, uint32_t offset) {
    //  12  4  u32 offset
    //  16  4  u32 30000, the piece size asked for
    //  20 100 file name, UTF-8, cut and zero-padded
    return RequestFrame({0x0C, 0x12, 0x34, 0x00, 0x00, 0x00}, 0x06B9, 108)
        .u32(offset)
        .u32(30000)
        .text(filename, kReportFileNameWidth)
        .finish();
}

ReportPiece decode_report_file(std::vector<uint8_t> body) {
    ReportPiece piece;
    protocol::Cursor in(body);
    if (!in.has(4)) return piece;
    piece.chunk_size = in.u32();
    body.erase(body.begin(), body.begin() + 4);
    piece.data = std::move(body);
    return piece;
}

ReportPiece get_report_file(Connection& conn, std::string_view filename, uint32_t offset) {
    conn.require_connected();
    return decode_report_file(conn.exchange(report_file_request(filename, offset)));
}

}  // namespace quillan::net
