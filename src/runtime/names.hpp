// Interned names made once: attribute, key, method, keyword and global names.
//
// `"holder_key"_n` is a `Name`: an interned str created on first use and kept
// for the life of the process (one per distinct literal, shared by every call
// site). Interned strings are immutable and, from 3.12 on, immortal; a
// process-wide pointer to one holds no module state, so this is the one kind
// of static PyObject* the layer keeps. The type attribute cache and dict
// look-ups match such names by identity, as they match the interpreter's own
// `co_names`.
#pragma once
#include <cstddef>

#include "runtime/ref.hpp"

namespace vc {

// A string literal as a template argument (C++20 class-type NTTP).
template <size_t N>
struct Lit {
  char s[N];
  constexpr Lit(const char (&x)[N]) {  // NOLINT: implicit on purpose
    for (size_t i = 0; i < N; ++i) s[i] = x[i];
  }
};

// An interned str, borrowed (it lives as long as the interpreter).
class Name {
 public:
  explicit constexpr Name(PyObject* p) noexcept : p_(p) {}
  PyObject* get() const noexcept { return p_; }
  operator PyObject*() const noexcept { return p_; }

 private:
  PyObject* p_;
};

PyObject* make_name(const char* s);  // interned; throws PyError

template <Lit S>
Name name() {
  // Thread-safe static init; a failure (no memory) retries on the next use.
  static PyObject* const p = make_name(S.s);
  return Name(p);
}

template <Lit S>
Name operator""_n() {
  return name<S>();
}

// For names that arrive as `const char*` (load-time tables, `log` levels and
// messages): the interned str with this content.
// Cached by address and checked by content, so a reused buffer (a
// std::string's c_str()) never gets another string's name.
PyObject* name_of(const char* s);

// A tuple of interned names (keyword names, a fromlist), cached by the
// identity of its items; borrowed: take a reference before any further call.
PyObject* names_tuple(PyObject* const* names, size_t n);

}  // namespace vc
