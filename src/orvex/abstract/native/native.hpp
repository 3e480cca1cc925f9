// What the files of orvex.abstract._native share: the builder, the package
// type and the module's few names.
// module.cpp makes them ready and exports them through api.hpp's capsule.
#pragma once

#include <Python.h>

#include "../ref.hpp"

namespace orvex::abstract::native {

// Interned names, made once by module initialisation.
struct Names {
    PyObject* sys;
    PyObject* modules;
    PyObject* package_module;  // "orvex.abstract.package"
    PyObject* index;           // "_index"
    PyObject* resolve;         // "_resolve"
    PyObject* read;            // "_read"
    PyObject* describe;        // "_describe"
    PyObject* dunder_getattr;  // "__getattr__"
};
extern Names names;

// Makes the builder's function object if need be and stores it in `module`.
// Returns 0, or -1 with an exception set.
int builder_ready(PyObject* module) noexcept;
// The default_builder function object (made by builder_ready, kept for the process).
extern PyObject* builder_object;
PyObject* build_paths(PyObject* tokens, PyObject* mandatory) noexcept;
PyObject* build_paths_of(PyObject* const* tokens, Py_ssize_t n, PyObject* mandatory) noexcept;

// Makes AbstractPackage ready. Returns 0, or -1 with an exception set.
int package_types_ready() noexcept;
extern PyTypeObject package_type;
int package_learn(PyObject* package) noexcept;
// Makes every AbstractPackage learn again at its next use.
void invalidate_all() noexcept;
int package_lookup(PyObject* package, PyObject* relpath, PyObject* seq, PyObject* name, PyObject** result) noexcept;

// Python's type(o).__name__ for the messages: the part of tp_name after its last dot.
const char* short_type_name(PyObject* o) noexcept;

}  // namespace orvex::abstract::native
