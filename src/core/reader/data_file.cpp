#include "reader/data_file.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>

#include "base/error.h"

namespace quillan::reader {
namespace {

// Records are copied out 2048 at a time: large enough that the system call is a rounding error
// per record, small enough to stay in the cache while it is decoded.
constexpr size_t kChunkBytes = 2048 * kRecordSize;

[[noreturn]] void fail(const char* step, int err) {
    throw Error(ErrorKind::FileAccess, std::string(step) + os_error_text(err), err);
}

}  // namespace

RecordFile::RecordFile(const std::string& path) {
    // The C API would read a NUL as the end of the path and find some other file.
    struct stat meta;
    if (path.find('\0') != std::string::npos || ::stat(path.c_str(), &meta) != 0) {
        throw Error(ErrorKind::FileNotFound, "File not found: " + path);
    }

    // O_NONBLOCK: a FIFO with no writer would otherwise block here for ever, with the
    // interpreter lock held. It changes nothing for regular files.
    fd_.reset(retry_eintr([&] { return ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC); }));
    if (!fd_) fail("Cannot open file: ", errno);

    if (::fstat(fd_.get(), &meta) != 0) fail("Cannot mmap file: ", errno);
    const uint64_t size = meta.st_size > 0 ? static_cast<uint64_t>(meta.st_size) : 0;

    // Map and unmap at once: only the verdict of the mapping call is wanted (an empty file is
    // mapped with one byte so that the call is valid).
    const size_t map_length = static_cast<size_t>(std::max<uint64_t>(size, 1));
    void* map = ::mmap(nullptr, map_length, PROT_READ, MAP_SHARED, fd_.get(), 0);
    if (map == MAP_FAILED) fail("Cannot mmap file: ", errno);
    ::munmap(map, map_length);

    record_count_ = size / kRecordSize;
    remaining_ = record_count_ * kRecordSize;
    buffer_.resize(static_cast<size_t>(std::min<uint64_t>(remaining_, kChunkBytes)));
}

std::span<const uint8_t> RecordFile::next() {
    const size_t want = static_cast<size_t>(std::min<uint64_t>(remaining_, buffer_.size()));
    size_t got = 0;
    bool ended = false;
    while (got < want) {
        ssize_t n = retry_eintr([&] {
            return ::pread(fd_.get(), buffer_.data() + got, want - got,
                           static_cast<off_t>(offset_ + got));
        });
        if (n < 0) fail("Cannot read file: ", errno);
        if (n == 0) {
            ended = true;  // the file has shrunk since it was opened
            break;
        }
        got += static_cast<size_t>(n);
    }
    offset_ += got;
    remaining_ = ended ? 0 : remaining_ - got;
    return {buffer_.data(), got - got % kRecordSize};
}

}  // namespace quillan::reader
