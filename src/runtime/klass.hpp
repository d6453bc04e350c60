// Python classes made on a given base through its metaclass, so the base's machinery (enum
// members, albumentations' serialisation registry) sees an ordinary subclass.
#pragma once
#include <string>
#include <vector>

#include "runtime/module.hpp"

namespace vh {

// `__name` inside class `Cls` becomes `_Cls__name`, as the compiler mangles private names.
std::string mangle(const char* class_name, const char* name);

class ClassBuilder {
public:
    enum class MethodKind { Instance, Static, Class };

    // Prepares the namespace with the metaclass's __prepare__ (types.prepare_class).
    ClassBuilder(ModuleContext& context, const char* name, PyObject* bases, const char* doc);

    // A method bound under its (mangled) name.
    ClassBuilder& method(const FunctionDef& def, MethodKind kind = MethodKind::Instance);
    ClassBuilder& property(const char* name, const FunctionDef& getter, const FunctionDef* setter = nullptr);
    ClassBuilder& value(const char* name, PyObject* value);

    // Calls the metaclass with (name, bases, namespace).
    Ref build();

    const char* name() const noexcept { return name_; }

private:
    void set(const char* name, PyObject* value);

    Ref add_function(const FunctionDef& def);

    ModuleContext& context_;
    const char* name_;
    Ref bases_, meta_, namespace_, kwds_;
    Ref functions_;  // list of the methods made, to learn their class once it exists
};

}  // namespace vh
