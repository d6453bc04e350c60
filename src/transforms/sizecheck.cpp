// The size check the fractional transforms share.
#include "transforms/sizecheck.hpp"

#include <iterator>

#include "runtime/klass.hpp"

namespace vh::sizecheck {

void Names::init(const char* class_name) {
    rows = intern("rows");
    cols = intern("cols");
    self = intern("self");
    last_height = intern(mangle(class_name, "__last_input_height").c_str());
    last_width = intern(mangle(class_name, "__last_input_width").c_str());
    check = intern(mangle(class_name, "__check_after_update").c_str());
}

void Names::bind(PyObject* klass) {
    check_function = vh::check(PyObject_GetAttr(klass, check)).release();
}

Ref int_or_none(const char* name, PyObject* value) {
    if (value == Py_None || PyLong_CheckExact(value)) return Ref::borrow(value);
    PyNumberMethods* nb = Py_TYPE(value)->tp_as_number;
    if (!nb || !(nb->nb_int || nb->nb_index || nb->nb_float)) raise_argument_type(name, "int", value);
    return check(PyNumber_Long(value));
}

namespace {

[[noreturn]] void raise_mismatch(PyObject* self, const char* what, PyObject* got, const char* side,
                                 PyObject* expected) {
    Ref cls_name = attr(reinterpret_cast<PyObject*>(Py_TYPE(self)), intern("__name__"));
    raisef(PyExc_NotImplementedError,
           "%s %S does not match expected %s %S. The current version of Albumentations is incompatible with the "
           "%S augmentation.Make sure that you use the recommended version of Albumentations and report this "
           "incompatibility to a Vornhaven developer.",
           what, got, side, expected, cls_name.get());
}

const Param check_param_list[] = {{"self"},
                                  {"rows", "int | None", Conv::Int, Kind::Positional, dflt::none(), true},
                                  {"cols", "int | None", Conv::Int, Kind::Positional, dflt::none(), true},
                                  {"_kwargs", "Any", Conv::Any, Kind::VarKwargs}};
struct CheckArg {
    enum : std::size_t { self, rows, cols, kwargs, count };
};
static_assert(std::size(check_param_list) == CheckArg::count);

const Param cls_param_list[] = {{"cls"}};

}  // namespace

const std::span<const Param> check_params = check_param_list;
const std::span<const Param> cls_params = cls_param_list;

void check_size(const Names& names, PyObject* self, PyObject* rows, PyObject* cols) {
    if (rows == Py_None && cols == Py_None)
        raise(PyExc_NotImplementedError,
              "Rows and Columns have to be provided by a compatible version of Albumentations. Make sure you use "
              "the recommended version of Albumentations and report this incompatibility to a Vornhaven developer.");
    Ref height = attr(self, names.last_height);
    if (check_status(PyObject_RichCompareBool(rows, height.get(), Py_NE)))
        raise_mismatch(self, "Rows", rows, "height", height.get());
    Ref width = attr(self, names.last_width);
    if (check_status(PyObject_RichCompareBool(cols, width.get(), Py_NE)))
        raise_mismatch(self, "Cols", cols, "width", width.get());
}

void run_check(const Names& names, PyObject* self, Bound& a) {
    PyObject* method = _PyType_Lookup(Py_TYPE(self), names.check);
    if (method == names.check_function && !a.keyword(names.self)) {
        Ref dict = check(PyObject_GenericGetDict(self, nullptr));
        PyObject* shadow = PyDict_GetItemWithError(dict.get(), names.check);
        if (!shadow && PyErr_Occurred()) throw_error();
        if (!shadow) {
            PyObject* rows = a.keyword(names.rows);
            PyObject* cols = a.keyword(names.cols);
            Ref r = int_or_none("rows", rows ? rows : Py_None);
            Ref c = int_or_none("cols", cols ? cols : Py_None);
            check_size(names, self, r.get(), c.get());
            return;
        }
    }
    Ref bound = attr(self, names.check);
    call(bound.get(), {}, a.kwargs());
}

Ref check_after_update(const Names& names, Bound& a) {
    check_size(names, a[CheckArg::self], a[CheckArg::rows], a[CheckArg::cols]);
    return Ref::borrow(Py_None);
}

Ref class_fullname(Function&, Bound& a) {
    Ref name = attr(a[0], intern("__name__"));
    check_result(name.get(), &PyUnicode_Type);
    return name;
}

PyObject* name_tuple(std::span<const char* const> names) {
    Ref tuple = check(PyTuple_New(static_cast<Py_ssize_t>(names.size())));
    for (std::size_t i = 0; i < names.size(); ++i)
        PyTuple_SET_ITEM(tuple.get(), i, check(PyUnicode_InternFromString(names[i])).release());
    return tuple.release();
}

}  // namespace vh::sizecheck
