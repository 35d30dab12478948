#pragma once

// Argument binding and conversion for every entry point.
//
// An entry point declares its parameters once, as a Signature of converter kinds and names:
//
//     static Signature<U16, U8, Text> sig{"TdxClient.f", {"category", "market", "code"}};
//
// sig.bind() matches the fast-call arguments to the parameters (the interpreter's wording for
// every binding TypeError); sig.convert() then converts them in parameter order, the first
// failure ending the call. A TypeError from a conversion is re-raised as
// "argument '<name>': <message>"; other errors pass unchanged.

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "py_ref.h"

namespace quillan::py {

// ---- converter kinds -----------------------------------------------------------------------
// Each kind has `type`, `kRequired`, and `static type convert(PyObject*)`, which throws
// PyErrAlreadySet. Optional kinds receive null when the caller left the argument out.

// The value of an int (or __index__ object) in 0..max; OverflowError
// "out of range integral type conversion attempted" outside it.
unsigned long to_unsigned(PyObject* obj, unsigned long max);
// The UTF-8 bytes of a str (or subclass); TypeError "'X' object cannot be cast as 'str'".
std::string to_text(PyObject* obj);
// A float, or anything float() takes.
double to_double(PyObject* obj);

template <class T>
struct UInt {
    using type = T;
    static constexpr bool kRequired = true;
    static T convert(PyObject* obj) {
        return static_cast<T>(to_unsigned(obj, static_cast<unsigned long>(T(~T(0)))));
    }
};
using U8 = UInt<uint8_t>;
using U16 = UInt<uint16_t>;
using U32 = UInt<uint32_t>;

struct Text {
    using type = std::string;
    static constexpr bool kRequired = true;
    static std::string convert(PyObject* obj) { return to_text(obj); }
};

// A float parameter with a default.
template <double Default>
struct RealOr {
    using type = double;
    static constexpr bool kRequired = false;
    static double convert(PyObject* obj) { return obj ? to_double(obj) : Default; }
};

// Iterates a pair-list argument: refuses a str ("Can't extract `str` to `Vec`") and anything
// that is neither a sequence nor a collections.abc.Sequence. The object's len() is not asked:
// it may be wrong, huge or costly, and only the items decide the result.
PyRef iterate_sequence(PyObject* obj);
// The next item of `iter`, or an empty PyRef at the end.
PyRef next_item(PyObject* iter);
// The two elements of a 2-tuple (borrowed from `item`): TypeError for a non-tuple, ValueError
// "expected tuple of length 2, but got tuple of length N" for another length.
std::pair<PyObject*, PyObject*> unpack_pair(PyObject* item);

// A sequence of 2-tuples, each element converted with its own kind.
template <class First, class Second>
struct PairList {
    using type = std::vector<std::pair<typename First::type, typename Second::type>>;
    static constexpr bool kRequired = true;
    static type convert(PyObject* obj) {
        PyRef iter = iterate_sequence(obj);
        type out;
        while (PyRef item = next_item(iter.get())) {
            auto [a, b] = unpack_pair(item.get());
            auto first = First::convert(a);
            out.emplace_back(std::move(first), Second::convert(b));
        }
        return out;
    }
};

// ---- binding ------------------------------------------------------------------------------

struct ParamTable {
    const char* func;  // "TdxClient.connect", "read_daily_bars"
    const char* const* names;
    PyObject** interned;  // the names as interned str, made on first use
    size_t count;
    size_t required;  // the first `required` parameters have no default
};

// Fills out[0..count) with borrowed argument objects (null for an optional one not given), or
// throws with the interpreter's TypeError wording for surplus, unknown, duplicate or missing
// arguments. `kwnames` is the fast-call tuple of keyword names, whose values follow the
// positional ones in `args`.
void bind_fastcall(const ParamTable& table, PyObject* const* args, size_t nargs, PyObject* kwnames,
                   PyObject** out);
// The same for an (args tuple, kwargs dict) call, as tp_new receives.
void bind_tuple(const ParamTable& table, PyObject* args, PyObject* kwargs, PyObject** out);

// Re-raises a pending TypeError (exactly that class) as "argument '<name>': <message>",
// keeping its __cause__; leaves any other pending exception alone.
void prefix_argument_error(const char* name);

template <class... Kinds>
class Signature {
  public:
    static constexpr size_t kCount = sizeof...(Kinds);
    using Bound = std::array<PyObject*, kCount>;
    using Values = std::tuple<typename Kinds::type...>;

    Signature(const char* func, std::array<const char*, kCount> names)
        : func_(func), names_(names) {}

    Bound bind(PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
        Bound out{};
        bind_fastcall(table(), args, static_cast<size_t>(PyVectorcall_NARGS(nargsf)), kwnames,
                      out.data());
        return out;
    }

    Bound bind(PyObject* args, PyObject* kwargs) {
        Bound out{};
        bind_tuple(table(), args, kwargs, out.data());
        return out;
    }

    // Converts every argument, in parameter order.
    Values convert(const Bound& bound) const {
        return convert_all(bound, std::index_sequence_for<Kinds...>{});
    }

  private:
    static constexpr size_t required_count() {
        constexpr bool flags[] = {Kinds::kRequired..., false};
        size_t n = 0;
        while (n < kCount && flags[n]) ++n;
        for (size_t i = n; i < kCount; ++i)
            if (flags[i]) throw "a required parameter follows an optional one";
        return n;
    }
    static constexpr size_t kRequiredCount = required_count();

    ParamTable table() { return {func_, names_.data(), interned_.data(), kCount, kRequiredCount}; }

    template <class Kind>
    static typename Kind::type convert_one(const char* name, PyObject* obj) {
        try {
            return Kind::convert(obj);
        } catch (const PyErrAlreadySet&) {
            prefix_argument_error(name);
            throw;
        }
    }

    template <size_t... I>
    Values convert_all(const Bound& bound, std::index_sequence<I...>) const {
        // Braced initialisation evaluates left to right: parameter order.
        return Values{convert_one<Kinds>(names_[I], bound[I])...};
    }

    const char* func_;
    std::array<const char*, kCount> names_;
    std::array<PyObject*, kCount> interned_{};
};

}  // namespace quillan::py
