#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "base/unique_fd.h"

namespace quillan::reader {

// Every terminal bar file is a flat array of records of this size, with no header.
inline constexpr size_t kRecordSize = 32;

// One terminal data file, opened for reading its whole records in file order.
//
// The file is not read through a mapping: the terminal rewrites its files while it runs, and
// a mapped page that vanishes under a shrinking file delivers SIGBUS, which would take the
// interpreter down. Records are copied out with pread into a small buffer instead, and a file
// that has become shorter simply ends early.
//
// Opening maps the file once and unmaps it at once: the mapping decides which paths are read.
// Whatever the system refuses to map (directories, FIFOs, most /proc entries and many devices)
// fails there with "Cannot mmap file" instead of giving no records or blocking in a read.
class RecordFile {
  public:
    // Opens `path`:
    // - its metadata cannot be read (stat, following links; also a path holding a NUL):
    //   Error(FileNotFound) "File not found: " + path;
    // - it cannot be opened read-only: Error(FileAccess) "Cannot open file: " + system text;
    // - it cannot be mapped: Error(FileAccess) "Cannot mmap file: " + system text.
    // The open does not block, so a FIFO gets as far as the mapping step and fails there.
    // Owns the descriptor until destruction.
    explicit RecordFile(const std::string& path);

    // size / 32 at the time of opening: an upper bound on the records next() will deliver.
    uint64_t record_count() const { return record_count_; }

    // The next run of whole records (a multiple of 32 bytes), valid until the next call; empty
    // once record_count() records have been delivered or the file has come to an end sooner.
    // A trailing piece shorter than a record is dropped. Throws Error(FileAccess)
    // "Cannot read file: " + system text when the system reports a read error.
    std::span<const uint8_t> next();

  private:
    UniqueFd fd_;
    uint64_t record_count_ = 0;
    uint64_t offset_ = 0;     // where the next read starts
    uint64_t remaining_ = 0;  // bytes of whole records not read yet
    std::vector<uint8_t> buffer_;
};

}  // namespace quillan::reader
