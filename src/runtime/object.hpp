// Python-object helpers: attributes, items and slices, arithmetic, truth, calls with keywords,
// and the unpacking the interpreter does, each raising as the interpreter would.
#pragma once
#include <array>
#include <initializer_list>
#include <utility>

#include "runtime/error.hpp"

namespace vh {

// Names given as C strings are looked up, set and passed as interned strings: CPython's type
// attribute cache keeps a reference to the name of each lookup it caches, placed by the name's
// address, so a fresh str per call would fill it with copies of one name (thousands, held until
// overwritten).
Ref interned(const char* text);
Ref attr(PyObject* o, const char* name);  // o.name
Ref attr(PyObject* o, PyObject* name);
void set_attr(PyObject* o, PyObject* name, PyObject* value);
PyObject* intern(const char* text);  // an interned str kept for the life of the process

Ref py_int(Py_ssize_t v);

inline constexpr Py_ssize_t kOpen = PY_SSIZE_T_MIN;  // an omitted slice bound
Ref slice(Py_ssize_t start, Py_ssize_t stop, Py_ssize_t step = kOpen);
Ref everything();  // `:`
Ref tuple_of(std::initializer_list<PyObject*> items);
Ref shape_tuple(std::initializer_list<Py_ssize_t> dims);

Ref item(PyObject* o, PyObject* key);                         // o[key]
Ref item(PyObject* o, std::initializer_list<PyObject*> key);  // o[k0, k1, ...]
void set_item(PyObject* o, PyObject* key, PyObject* value);
void set_item(PyObject* o, std::initializer_list<PyObject*> key, PyObject* value);

Ref add(PyObject* a, PyObject* b);
Ref subtract(PyObject* a, PyObject* b);
Ref multiply(PyObject* a, PyObject* b);
Ref divide(PyObject* a, PyObject* b);
Ref remainder(PyObject* a, PyObject* b);
Ref negative(PyObject* a);

bool truth(PyObject* o);  // bool(o)
// `a == b` in a condition (no identity shortcut, as the interpreter evaluates it).
bool equals(PyObject* a, PyObject* b);

// Calls: keywords are named pairs, or a dict (`**kwargs`, may be null) to pass on as it is.
using Keywords = std::initializer_list<std::pair<const char*, PyObject*>>;
Ref call(PyObject* callable, std::initializer_list<PyObject*> args, Keywords keywords = {});
Ref call(PyObject* callable, std::initializer_list<PyObject*> args, PyObject* kwargs);
Ref method(PyObject* o, const char* name, std::initializer_list<PyObject*> args, Keywords keywords = {});

// `array.shape = dims`
void set_shape(PyObject* array, std::initializer_list<Py_ssize_t> dims);

// `a, b = sequence` (N values), with the unpacking errors of compiled modules; N is 2 or 3.
template <std::size_t N>
std::array<Ref, N> unpack(PyObject* sequence);

// `a, b, c = sequence` of integers, with the unpacking errors of compiled modules.
std::array<Py_ssize_t, 3> unpack3(PyObject* sequence);

}  // namespace vh
