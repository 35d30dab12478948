#include "base/error.h"

#include <cstring>

namespace quillan {
namespace {

// strerror_r comes in two flavours; overloads pick whichever this libc declares.
[[maybe_unused]] const char* strerror_result(int rc, const char* buf) {
    return rc == 0 ? buf : "Unknown error";
}
[[maybe_unused]] const char* strerror_result(const char* msg, const char*) { return msg; }

}  // namespace

std::string os_error_text(int err) {
    char buf[256] = {};
    std::string text = strerror_result(strerror_r(err, buf, sizeof buf), buf);
    text += " (os error ";
    text += std::to_string(err);
    text += ')';
    return text;
}

void throw_os_error(int err) { throw Error(ErrorKind::Os, os_error_text(err), err); }

}  // namespace quillan
