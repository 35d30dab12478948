#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <utility>
#include <variant>
#include <vector>

namespace quillan::columns {

// What the values of a column mean. The storage type follows from it: Float64 is double,
// Int64, Days and Seconds are int64_t, Int32 is int32_t, UInt32 uint32_t, UInt16 uint16_t,
// UInt8 and Bool uint8_t (Bool holds 0 or 1).
enum class ColumnKind : uint8_t {
    Float64,
    Int64,
    Int32,
    UInt32,
    UInt16,
    UInt8,
    Bool,
    Days,     // days since 1970-01-01; kNotATime for none
    Seconds,  // seconds since 1970-01-01 00:00:00; kNotATime for none
};

// The value of a Days or Seconds column that stands for "no time" (NumPy's NaT).
inline constexpr int64_t kNotATime = INT64_MIN;

// An allocator whose value-initialisation of a new element does nothing: resize() of a vector
// that is about to be overwritten does not zero it first (a whole pass over fresh memory).
template <class T>
struct UninitAllocator : std::allocator<T> {
    template <class U>
    struct rebind {
        using other = UninitAllocator<U>;
    };
    UninitAllocator() = default;
    template <class U>
    UninitAllocator(const UninitAllocator<U>&) noexcept {}
    template <class U>
    void construct(U* p) noexcept {
        ::new (static_cast<void*>(p)) U;
    }
    template <class U, class... Args>
    void construct(U* p, Args&&... args) {
        ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
    }
};

// Values to be filled in place after a resize (see UninitAllocator).
template <class T>
using Values = std::vector<T, UninitAllocator<T>>;

// One typed column: a vector of values that a result hands over without copying. Move-only in
// practice (copying is allowed but never needed); the values never change once it is built,
// so its data() stays valid for as long as the column lives.
class Column {
  public:
    explicit Column(std::vector<double> values)
        : kind_(ColumnKind::Float64), values_(std::move(values)) {}
    explicit Column(Values<double> values)
        : kind_(ColumnKind::Float64), values_(std::move(values)) {}
    // kind: Int64, Days or Seconds.
    explicit Column(std::vector<int64_t> values, ColumnKind kind = ColumnKind::Int64);
    explicit Column(Values<int64_t> values, ColumnKind kind = ColumnKind::Int64);
    explicit Column(std::vector<int32_t> values)
        : kind_(ColumnKind::Int32), values_(std::move(values)) {}
    explicit Column(std::vector<uint32_t> values)
        : kind_(ColumnKind::UInt32), values_(std::move(values)) {}
    explicit Column(std::vector<uint16_t> values)
        : kind_(ColumnKind::UInt16), values_(std::move(values)) {}
    // kind: UInt8 or Bool.
    explicit Column(std::vector<uint8_t> values, ColumnKind kind = ColumnKind::UInt8);

    ColumnKind kind() const { return kind_; }
    // The number of values.
    size_t size() const;
    // The size of one value in bytes.
    size_t item_size() const;
    // The first value; null for an empty column.
    const void* data() const;

  private:
    using Storage = std::variant<std::vector<double>, std::vector<int64_t>, std::vector<int32_t>,
                                 std::vector<uint32_t>, std::vector<uint16_t>, std::vector<uint8_t>,
                                 Values<double>, Values<int64_t>>;
    ColumnKind kind_;
    Storage values_;
};

}  // namespace quillan::columns
