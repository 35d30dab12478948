#pragma once

// Columns handed to other libraries through the Arrow C data and C stream interfaces: the
// three structures of that ABI, and a stream of one record batch built from columns whose
// memory stays with their owners until the consumer releases it.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// The ABI structures, laid out exactly as every Arrow implementation expects; the guards let a
// translation unit that already has them (from another library's header) keep its own.
extern "C" {
#ifndef ARROW_C_DATA_INTERFACE
#define ARROW_C_DATA_INTERFACE

#define ARROW_FLAG_DICTIONARY_ORDERED 1
#define ARROW_FLAG_NULLABLE 2
#define ARROW_FLAG_MAP_KEYS_SORTED 4

struct ArrowSchema {
    const char* format;
    const char* name;
    const char* metadata;
    int64_t flags;
    int64_t n_children;
    struct ArrowSchema** children;
    struct ArrowSchema* dictionary;
    void (*release)(struct ArrowSchema*);
    void* private_data;
};

struct ArrowArray {
    int64_t length;
    int64_t null_count;
    int64_t offset;
    int64_t n_buffers;
    int64_t n_children;
    const void** buffers;
    struct ArrowArray** children;
    struct ArrowArray* dictionary;
    void (*release)(struct ArrowArray*);
    void* private_data;
};
#endif

#ifndef ARROW_C_STREAM_INTERFACE
#define ARROW_C_STREAM_INTERFACE
struct ArrowArrayStream {
    int (*get_schema)(struct ArrowArrayStream*, struct ArrowSchema* out);
    int (*get_next)(struct ArrowArrayStream*, struct ArrowArray* out);
    const char* (*get_last_error)(struct ArrowArrayStream*);
    void (*release)(struct ArrowArrayStream*);
    void* private_data;
};
#endif
}

namespace quillan::columns {

// Keeps some memory alive for as long as an exported column may be read. The consumer may
// release a column on any thread, at any time; a keeper's destructor must cope with that.
struct Keeper {
    virtual ~Keeper() = default;
};

// A keeper of values made for the export (packed booleans, a validity bitmap, text).
template <class T>
struct VectorKeeper : Keeper {
    explicit VectorKeeper(std::vector<T> v) : values(std::move(v)) {}
    std::vector<T> values;
};

// One column as Arrow sees it.
struct ExportColumn {
    std::string name;
    std::string format;  // the Arrow format string: "g", "l", "tdD", "tss:UTC", "u", ...
    int64_t length = 0;
    int64_t null_count = 0;
    // The buffers of the layout `format` names, validity first (null when null_count is 0):
    // two for a fixed-width column, three for text (validity, offsets, characters).
    std::vector<const void*> buffers;
    std::vector<std::unique_ptr<Keeper>> keepers;  // own what the buffers point into

    // Adds a keeper of `values` and returns where they are.
    template <class T>
    const T* keep(std::vector<T> values) {
        auto keeper = std::make_unique<VectorKeeper<T>>(std::move(values));
        const T* data = keeper->values.data();
        keepers.push_back(std::move(keeper));
        return data;
    }
};

// The validity bitmap (bit i set when value i is present) of `values`, where `missing` marks
// an absent one; empty when none is missing. `null_count` receives the number missing.
std::vector<uint8_t> validity_of(const int64_t* values, int64_t length, int64_t missing,
                                 int64_t& null_count);

// One bit per byte of `values` (non-zero is true), least significant bit first.
std::vector<uint8_t> pack_bits(const uint8_t* values, int64_t length);

// Day numbers narrowed to Arrow's 32-bit dates; `missing` values become 0 (they are masked by
// the validity bitmap). Throws Error(InvalidArgument) naming `column` for a day out of range.
std::vector<int32_t> narrow_days(const int64_t* days, int64_t length, int64_t missing,
                                 const std::string& column);

// Fills `out` with the schema of a record batch of `columns` (a struct of nullable fields).
// The schema owns copies of the names and formats; releasing it frees them.
void export_schema(const std::vector<ExportColumn>& columns, ArrowSchema* out);

// Fills `out` with a stream that yields the columns as one record batch, then ends. The
// stream owns the columns (and so their keepers) until the batch is taken; the batch then
// owns them until the consumer releases it.
void export_stream(std::vector<ExportColumn> columns, ArrowArrayStream* out);

}  // namespace quillan::columns
