#include "columns/column.h"

#include <stdexcept>

namespace quillan::columns {

Column::Column(std::vector<int64_t> values, ColumnKind kind)
    : kind_(kind), values_(std::move(values)) {
    if (kind != ColumnKind::Int64 && kind != ColumnKind::Days && kind != ColumnKind::Seconds) {
        throw std::invalid_argument("a column of int64 values is Int64, Days or Seconds");
    }
}

Column::Column(Values<int64_t> values, ColumnKind kind) : kind_(kind), values_(std::move(values)) {
    if (kind != ColumnKind::Int64 && kind != ColumnKind::Days && kind != ColumnKind::Seconds) {
        throw std::invalid_argument("a column of int64 values is Int64, Days or Seconds");
    }
}

Column::Column(std::vector<uint8_t> values, ColumnKind kind)
    : kind_(kind), values_(std::move(values)) {
    if (kind != ColumnKind::UInt8 && kind != ColumnKind::Bool) {
        throw std::invalid_argument("a column of uint8 values is UInt8 or Bool");
    }
}

size_t Column::size() const {
    return std::visit([](const auto& v) { return v.size(); }, values_);
}

size_t Column::item_size() const {
    return std::visit([](const auto& v) { return sizeof(v[0]); }, values_);
}

const void* Column::data() const {
    return std::visit([](const auto& v) -> const void* { return v.empty() ? nullptr : v.data(); },
                      values_);
}

}  // namespace quillan::columns
