#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "net/connection.h"

namespace quillan::net {

// One piece of a file kept on the quote server.
struct ReportPiece {
    uint32_t chunk_size = 0;    // as the server announces it; never checked against `data`
    std::vector<uint8_t> data;  // everything after the four size bytes
};

// The width of the file name field of a request: a longer name would be cut.
inline constexpr size_t kReportFileNameWidth = 100;

// The 120-byte request for the piece of `filename` that starts at `offset`.
std::vector<uint8_t> report_file_request(std::string_view filename, uint32_t offset);

// Body layout: u32 chunk size, then the piece to the end of the body. A body shorter than
// four bytes gives (0, nothing).
ReportPiece decode_report_file(std::vector<uint8_t> body);

// Fetches one piece: "Not connected" without a socket, else one exchange.
ReportPiece get_report_file(Connection& conn, std::string_view filename, uint32_t offset);

}  // namespace quillan::net
