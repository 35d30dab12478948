#include "columns/arrow.h"

#include <cerrno>
#include <limits>
#include <new>

#include "base/error.h"

namespace quillan::columns {
namespace {

// ---- schemas ------------------------------------------------------------------------------

// What a schema node owns: its texts and its children's structures.
struct SchemaNode {
    std::string format, name;
    std::vector<ArrowSchema> children;
    std::vector<ArrowSchema*> child_pointers;
};

void release_schema(ArrowSchema* schema) {
    auto* node = static_cast<SchemaNode*>(schema->private_data);
    for (ArrowSchema& child : node->children) {
        if (child.release != nullptr) child.release(&child);  // not moved away by the consumer
    }
    delete node;
    schema->release = nullptr;
}

// Fills `out` with a node of `format` and `name` that has `n_children` children, to be filled
// by the caller through the returned node.
SchemaNode* fill_schema(ArrowSchema* out, std::string format, std::string name, int64_t flags,
                        size_t n_children) {
    auto node = std::make_unique<SchemaNode>();
    node->format = std::move(format);
    node->name = std::move(name);
    node->children.resize(n_children);
    for (ArrowSchema& child : node->children) {
        child.release = nullptr;
        node->child_pointers.push_back(&child);
    }
    *out = ArrowSchema{
        .format = node->format.c_str(),
        .name = node->name.c_str(),
        .metadata = nullptr,
        .flags = flags,
        .n_children = static_cast<int64_t>(n_children),
        .children = n_children ? node->child_pointers.data() : nullptr,
        .dictionary = nullptr,
        .release = release_schema,
        .private_data = node.get(),
    };
    return node.release();
}

// ---- arrays -------------------------------------------------------------------------------

struct ColumnNode {
    ExportColumn column;
};

void release_column(ArrowArray* array) {
    delete static_cast<ColumnNode*>(array->private_data);  // the keepers let go here
    array->release = nullptr;
}

struct BatchNode {
    std::vector<ArrowArray> children;
    std::vector<ArrowArray*> child_pointers;
    const void* buffers[1] = {nullptr};  // a struct array has only a validity buffer: none
};

void release_batch(ArrowArray* array) {
    auto* node = static_cast<BatchNode*>(array->private_data);
    for (ArrowArray& child : node->children) {
        if (child.release != nullptr) child.release(&child);
    }
    delete node;
    array->release = nullptr;
}

void export_batch(std::vector<ExportColumn>& columns, ArrowArray* out) {
    auto batch = std::make_unique<BatchNode>();
    batch->children.resize(columns.size());
    for (ArrowArray& child : batch->children) child.release = nullptr;
    for (size_t i = 0; i < columns.size(); ++i) {
        batch->child_pointers.push_back(&batch->children[i]);
    }
    const int64_t length = columns.empty() ? 0 : columns[0].length;
    std::vector<std::unique_ptr<ColumnNode>> nodes;
    nodes.reserve(columns.size());
    for (size_t i = 0; i < columns.size(); ++i) nodes.push_back(std::make_unique<ColumnNode>());
    // Nothing below throws: the columns move into nodes that the batch releases.
    for (size_t i = 0; i < columns.size(); ++i) {
        ExportColumn& c = nodes[i]->column;
        c = std::move(columns[i]);
        batch->children[i] = ArrowArray{
            .length = c.length,
            .null_count = c.null_count,
            .offset = 0,
            .n_buffers = static_cast<int64_t>(c.buffers.size()),
            .n_children = 0,
            .buffers = c.buffers.data(),
            .children = nullptr,
            .dictionary = nullptr,
            .release = release_column,
            .private_data = nodes[i].release(),
        };
    }
    columns.clear();
    *out = ArrowArray{
        .length = length,
        .null_count = 0,
        .offset = 0,
        .n_buffers = 1,
        .n_children = static_cast<int64_t>(batch->children.size()),
        .buffers = batch->buffers,
        .children = batch->children.empty() ? nullptr : batch->child_pointers.data(),
        .dictionary = nullptr,
        .release = release_batch,
        .private_data = batch.get(),
    };
    batch.release();
}

// ---- the stream ---------------------------------------------------------------------------

struct StreamState {
    std::vector<ExportColumn> columns;  // handed to the batch by the first get_next
    std::vector<ExportColumn> fields;   // names and formats only: the schema, at any time
    bool taken = false;
    std::string last_error;
};

StreamState* state_of(ArrowArrayStream* stream) {
    return static_cast<StreamState*>(stream->private_data);
}

int stream_get_schema(ArrowArrayStream* stream, ArrowSchema* out) {
    StreamState* state = state_of(stream);
    try {
        export_schema(state->fields, out);
        return 0;
    } catch (const std::exception& e) {
        state->last_error = e.what();
        return ENOMEM;
    }
}

int stream_get_next(ArrowArrayStream* stream, ArrowArray* out) {
    StreamState* state = state_of(stream);
    if (state->taken) {
        out->release = nullptr;  // the end of the stream
        return 0;
    }
    try {
        export_batch(state->columns, out);
        state->taken = true;
        return 0;
    } catch (const std::exception& e) {
        state->last_error = e.what();
        return ENOMEM;
    }
}

const char* stream_last_error(ArrowArrayStream* stream) {
    const std::string& text = state_of(stream)->last_error;
    return text.empty() ? nullptr : text.c_str();
}

void stream_release(ArrowArrayStream* stream) {
    delete state_of(stream);
    stream->release = nullptr;
}

}  // namespace

std::vector<uint8_t> validity_of(const int64_t* values, int64_t length, int64_t missing,
                                 int64_t& null_count) {
    null_count = 0;
    for (int64_t i = 0; i < length; ++i) null_count += values[i] == missing;
    if (null_count == 0) return {};
    std::vector<uint8_t> bits(static_cast<size_t>((length + 7) / 8), 0);
    for (int64_t i = 0; i < length; ++i) {
        if (values[i] != missing) bits[static_cast<size_t>(i / 8)] |= uint8_t(1u << (i % 8));
    }
    return bits;
}

std::vector<uint8_t> pack_bits(const uint8_t* values, int64_t length) {
    std::vector<uint8_t> bits(static_cast<size_t>((length + 7) / 8), 0);
    for (int64_t i = 0; i < length; ++i) {
        if (values[i] != 0) bits[static_cast<size_t>(i / 8)] |= uint8_t(1u << (i % 8));
    }
    return bits;
}

std::vector<int32_t> narrow_days(const int64_t* days, int64_t length, int64_t missing,
                                 const std::string& column) {
    std::vector<int32_t> out(static_cast<size_t>(length));
    for (int64_t i = 0; i < length; ++i) {
        const int64_t day = days[i];
        if (day == missing) continue;
        if (day < std::numeric_limits<int32_t>::min() ||
            day > std::numeric_limits<int32_t>::max()) {
            throw Error(ErrorKind::InvalidArgument,
                        "column '" + column + "' holds a date out of the range of Arrow dates");
        }
        out[static_cast<size_t>(i)] = static_cast<int32_t>(day);
    }
    return out;
}

void export_schema(const std::vector<ExportColumn>& columns, ArrowSchema* out) {
    ArrowSchema root;
    SchemaNode* node = fill_schema(&root, "+s", "", 0, columns.size());
    try {
        for (size_t i = 0; i < columns.size(); ++i) {
            fill_schema(&node->children[i], columns[i].format, columns[i].name, ARROW_FLAG_NULLABLE,
                        0);
        }
    } catch (...) {
        root.release(&root);
        throw;
    }
    *out = root;
}

void export_stream(std::vector<ExportColumn> columns, ArrowArrayStream* out) {
    auto state = std::make_unique<StreamState>();
    for (const ExportColumn& column : columns) {
        ExportColumn& field = state->fields.emplace_back();
        field.name = column.name;
        field.format = column.format;
    }
    state->columns = std::move(columns);
    *out = ArrowArrayStream{
        .get_schema = stream_get_schema,
        .get_next = stream_get_next,
        .get_last_error = stream_last_error,
        .release = stream_release,
        .private_data = state.release(),
    };
}

}  // namespace quillan::columns
