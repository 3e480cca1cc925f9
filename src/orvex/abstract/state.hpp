// Process-wide state of the extension, what several rooms share: interned
// names, message pieces, docstrings, cached builtins and constant tuples.
// Made once by module initialisation (decorator.cpp) and read by every room.
// Each function's own name, parameter names and code object live beside its
// definition (FunctionCache in function/function.hpp).
#pragma once

#include <Python.h>

namespace orvex::abstract {

// Every str the module uses, made once at import and interned.
// X(field, text): the field is State::str_<field>.
#define ORVEX_STRINGS(X)                                                                              \
    X(device, "device")                                                                               \
    X(abstraction, "abstraction")                                                                     \
    X(attr_getter, "attr_getter")                                                                     \
    X(package, "package")                                                                             \
    X(sys, "sys")                                                                                     \
    X(inspect, "inspect")                                                                             \
    X(functools, "functools")                                                                         \
    X(magic, "magic")                                                                                 \
    X(default_builder, "default_builder")                                                             \
    X(AbstractPackage, "AbstractPackage")                                                             \
    X(default_token_getter, "default_token_getter")                                                   \
    X(from_device_token_getter, "from_device_token_getter")                                           \
    X(LookupDecorator, "LookupDecorator")                                                             \
    X(lookup_from_device, "lookup_from_device")                                                       \
    X(from_device, "from_device")                                                                     \
    X(object, "object")                                                                               \
    X(AttributeError, "AttributeError")                                                               \
    X(range, "range")                                                                                 \
    X(KeyError, "KeyError")                                                                           \
    X(LookupError, "LookupError")                                                                     \
    X(NotImplementedError, "NotImplementedError")                                                     \
    X(modules, "modules")                                                                             \
    X(split, "split")                                                                                 \
    X(endswith, "endswith")                                                                           \
    X(learn, "learn")                                                                                 \
    X(lookup, "lookup")                                                                               \
    X(wraps, "wraps")                                                                                 \
    X(update_wrapper, "update_wrapper")                                                               \
    X(partial, "partial")                                                                             \
    X(update, "update")                                                                               \
    X(mandatory, "mandatory")                                                                         \
    X(dunder_wrapped, "__wrapped__")                                                                  \
    X(dunder_dict, "__dict__")                                                                        \
    X(dunder_annotations, "__annotations__")                                                          \
    X(dunder_type_params, "__type_params__")                                                          \
    X(dunder_annotate, "__annotate__")                                                                \
    X(get, "get")                                                                                     \
    X(custom, "custom")                                                                               \
    X(order, "order")                                                                                 \
    X(delay, "delay")                                                                                 \
    X(replace, "replace")                                                                             \
    X(priv_attrs, "_attrs")                                                                           \
    X(priv_getter, "_getter")                                                                         \
    X(priv_method, "_method")                                                                         \
    X(priv_builder, "_builder")                                                                       \
    X(priv_builder_kwargs, "_builder_kwargs")                                                         \
    X(priv_method_name, "_method_name")                                                               \
    X(abstract_pkg, "_LookupDecorator__abstract_pkg")                                                 \
    X(dunder_name, "__name__")                                                                        \
    X(dunder_package, "__package__")                                                                  \
    X(dunder_module, "__module__")                                                                    \
    X(dunder_qualname, "__qualname__")                                                                \
    X(dunder_doc, "__doc__")                                                                          \
    X(dunder_init, "__init__")                                                                        \
    X(dunder_call, "__call__")                                                                        \
    X(dunder_get, "__get__")                                                                          \
    X(dunder_prepare, "__prepare__")                                                                  \
    X(dunder_file, "__file__")                                                                        \
    X(dunder_test, "__test__")                                                                        \
    X(dunder_set_name, "__set_name__")                                                                \
    X(dunder_isabstractmethod, "__isabstractmethod__")                                                \
    X(dunder_notes, "__notes__")                                                                      \
    X(add_note, "add_note")                                                                           \
    X(co_argcount, "co_argcount")                                                                     \
    X(co_kwonlyargcount, "co_kwonlyargcount")                                                         \
    X(co_flags, "co_flags")                                                                           \
    X(co_varnames, "co_varnames")                                                                     \
    X(co_nlocals, "co_nlocals")                                                                       \
    X(co_code, "co_code")                                                                             \
    X(co_stacksize, "co_stacksize")                                                                   \
    X(co_qualname, "co_qualname")                                                                     \
    X(co_exceptiontable, "co_exceptiontable")                                                         \
    X(module_full_name, "orvex.abstract.decorator")                                                   \
    X(init_py, "__init__.py")                                                                         \
    X(dot, ".")                                                                                       \
    X(qualname_init, "LookupDecorator.__init__")                                                      \
    X(qualname_call, "LookupDecorator.__call__")                                                      \
    X(qualname_get, "LookupDecorator.__get__")                                                        \
    X(qualname_wrapper, "LookupDecorator.__get__.<locals>.wrapper")                                   \
    X(msg_no_attribute, "No attribute '")                                                             \
    X(msg_on, "' on '")                                                                               \
    X(msg_quote, "'")                                                                                 \
    X(msg_not_found, "Cannot find combination based on the following criterion: \n relative path = ") \
    X(msg_search_path, "\n   search path = ")                                                         \
    X(msg_target, "\n        target = ")                                                              \
    X(msg_class, "Class '")                                                                           \
    X(msg_in, "' in '")                                                                               \
    X(msg_missing_method, "' is missing method definition '")                                         \
    X(msg_no_package, "LookupDecorator must be used within a package. Got %s")

struct State {
#define ORVEX_DECLARE_STRING(field, text) PyObject* str_##field;
    ORVEX_STRINGS(ORVEX_DECLARE_STRING)
#undef ORVEX_DECLARE_STRING

    // Docstrings (str), made once.
    PyObject* doc_class;
    PyObject* doc_call;
    PyObject* doc_get;
    PyObject* doc_default_token_getter;
    PyObject* doc_from_device_token_getter;
    PyObject* doc_lookup_from_device;

    // Shared empties for the code objects.
    PyObject* empty_tuple;
    PyObject* empty_bytes;
    PyObject* empty_str;

    // Builtins taken once at import.
    PyObject* builtin_object;
    PyObject* builtin_AttributeError;
    PyObject* builtin_range;
    PyObject* builtin_KeyError;
    PyObject* builtin_LookupError;
    PyObject* builtin_NotImplementedError;

    // Constant tuples.
    PyObject* tuple_abstraction_none;  // ("abstraction", None)
    PyObject* tuple_order_none;        // ("order", None)
    PyObject* tuple_bases;             // (object,)

    PyObject* builtins;         // the builtins module
    PyObject* traceback_codes;  // (entry name's address, line) -> code object of that traceback entry
};

// The one process-wide instance. Fields are filled by module initialisation and
// kept for the life of the process (a failed initialisation refills them).
extern State state;

// Creates whatever interned strings and docstrings are still missing.
// Returns 0, or -1 with an exception set.
int state_make_strings() noexcept;

}  // namespace orvex::abstract
