// Classes made through their base's metaclass, and the mangling of private names.
#include "runtime/klass.hpp"

#include <cstring>

namespace vh {

std::string mangle(const char* class_name, const char* name) {
    const std::size_t n = std::strlen(name);
    const bool private_name = n > 2 && name[0] == '_' && name[1] == '_' &&
                              !(name[n - 1] == '_' && name[n - 2] == '_') && !std::strchr(name, '.');
    while (*class_name == '_') ++class_name;
    if (!private_name || !*class_name) return name;
    return std::string("_") + class_name + name;
}

ClassBuilder::ClassBuilder(ModuleContext& context, const char* name, PyObject* bases, const char* doc)
    : context_(context), name_(name), bases_(Ref::borrow(bases)) {
    Ref types = check(PyImport_ImportModule("types"));
    Ref prepared = check(PyObject_CallMethod(types.get(), "prepare_class", "sO", name, bases));
    meta_ = Ref::borrow(PyTuple_GET_ITEM(prepared.get(), 0));
    namespace_ = Ref::borrow(PyTuple_GET_ITEM(prepared.get(), 1));
    kwds_ = Ref::borrow(PyTuple_GET_ITEM(prepared.get(), 2));
    functions_ = check(PyList_New(0));
    set("__module__", context.name());
    Ref qualname = check(PyUnicode_FromString(name));
    set("__qualname__", qualname.get());
    if (doc) {
        Ref text = check(PyUnicode_FromString(doc));
        set("__doc__", text.get());
    }
}

void ClassBuilder::set(const char* name, PyObject* value) {
    Ref key = check(PyUnicode_FromString(name));
    check_status(PyObject_SetItem(namespace_.get(), key.get(), value));
}

Ref ClassBuilder::add_function(const FunctionDef& def) {
    Ref f = context_.function(def);
    check_status(PyList_Append(functions_.get(), f.get()));
    return f;
}

ClassBuilder& ClassBuilder::method(const FunctionDef& def, MethodKind kind) {
    Ref f = add_function(def);
    if (kind == MethodKind::Static) f = check(PyStaticMethod_New(f.get()));
    if (kind == MethodKind::Class) f = check(PyClassMethod_New(f.get()));
    set(mangle(name_, def.name).c_str(), f.get());
    return *this;
}

ClassBuilder& ClassBuilder::property(const char* name, const FunctionDef& getter, const FunctionDef* setter) {
    Ref fget = add_function(getter);
    Ref fset = setter ? add_function(*setter) : Ref::borrow(Py_None);
    Ref prop = check(
        PyObject_CallFunctionObjArgs(reinterpret_cast<PyObject*>(&PyProperty_Type), fget.get(), fset.get(), nullptr));
    set(mangle(name_, name).c_str(), prop.get());
    return *this;
}

ClassBuilder& ClassBuilder::value(const char* name, PyObject* value) {
    set(mangle(name_, name).c_str(), value);
    return *this;
}

Ref ClassBuilder::build() {
    Ref args = check(Py_BuildValue("(sOO)", name_, bases_.get(), namespace_.get()));
    Ref cls = check(PyObject_Call(meta_.get(), args.get(), kwds_.get()));
    // What the compiler's __class__ cell gives a Python method: the class for super().
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(functions_.get()); ++i) {
        auto* f = reinterpret_cast<Function*>(PyList_GET_ITEM(functions_.get(), i));
        Py_XSETREF(f->owner, Py_NewRef(cls.get()));
    }
    return cls;
}

}  // namespace vh
