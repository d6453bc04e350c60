// Signature text and values from a declaration: the signature line that heads `__doc__`, the
// values of declared defaults.
#include <string>

#include "runtime/function.hpp"
#include "runtime/function_internal.hpp"

namespace vh::detail {

const char* conv_type_name(Conv conv) {
    switch (conv) {
        case Conv::Double:
            return "double";
        case Conv::Float:
            return "float";
        case Conv::Int:
            return "int";
        case Conv::Bool:
            return "bool";
        case Conv::List:
            return "list";
        case Conv::Dict:
            return "dict";
        case Conv::Tuple:
            return "tuple";
        case Conv::Str:
            return "str";
        case Conv::Any:
            break;
    }
    return nullptr;
}

Ref default_value(const Default& d, PyObject* globals) {
    switch (d.tag) {
        case Default::Tag::None:
            return Ref::borrow(Py_None);
        case Default::Tag::Real:
            return check(PyFloat_FromDouble(d.real));
        case Default::Tag::Integer:
            return check(PyLong_FromLongLong(d.integer));
        case Default::Tag::Boolean:
            return Ref::borrow(d.integer ? Py_True : Py_False);
        case Default::Tag::Text:
            return check(PyUnicode_FromString(d.text));
        case Default::Tag::Computed:
            return d.compute(globals);
        case Default::Tag::Absent:
            break;
    }
    return {};
}

std::size_t count_positional(const FunctionDef& def) {
    std::size_t n = 0;
    for (const Param& p : def.params)
        if (p.kind == Kind::Positional) ++n;
    return n;
}

}  // namespace vh::detail

namespace vh {

Ref signature_line(const FunctionDef& def, PyObject* globals) {
    std::string line = def.qualified();
    line += '(';
    bool first = true, star_written = false;
    for (const Param& p : def.params) {
        if (!first) line += ", ";
        first = false;
        if (p.kind == Kind::KeywordOnly && !star_written) {
            line += "*, ";
            star_written = true;
        }
        if (p.kind == Kind::VarArgs) {
            line += '*';
            star_written = true;
        }
        if (p.kind == Kind::VarKwargs) line += "**";
        if (const char* t = detail::conv_type_name(p.conv); t && p.kind != Kind::VarArgs && p.kind != Kind::VarKwargs) {
            line += t;
            line += ' ';
        }
        line += p.name;
        if (p.annotation) {
            line += ": ";
            line += p.annotation;
        }
        if (p.def.tag != Default::Tag::Absent) {
            line += " = ";
            if (p.def.source) {
                line += p.def.source;
            } else {
                Ref value = detail::default_value(p.def, globals);
                Ref text = check(PyObject_Repr(value.get()));
                const char* utf8 = PyUnicode_AsUTF8(text.get());
                if (!utf8) throw_error();
                line += utf8;
            }
        }
    }
    line += ')';
    if (def.returns) {
        line += " -> ";
        line += def.returns;
    }
    return check(PyUnicode_FromStringAndSize(line.data(), static_cast<Py_ssize_t>(line.size())));
}

}  // namespace vh
