// Entry point of orvex.abstract._native: default_builder, AbstractPackage and
// the capsule through which the decorator calls both without Python calls.
// orvex.abstract.magic and orvex.abstract.package re-export the two names.
#include "../compat.hpp"
#include "api.hpp"
#include "native.hpp"

namespace orvex::abstract::native {

Names names;

namespace {

Api api;

PyObject* invalidate_all_function(PyObject*, PyObject*) noexcept {
    invalidate_all();
    Py_RETURN_NONE;
}

PyMethodDef module_methods[] = {
    {"_invalidate_all", invalidate_all_function, METH_NOARGS,
     "_invalidate_all($module, /)\n--\n\nMake every AbstractPackage learn again at its next use (what\n"
     "importlib.invalidate_caches() calls, through orvex.abstract.package)."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "_native",
    "The compiled half of the abstraction layer: see orvex.abstract.magic and orvex.abstract.package.",
    -1,
    module_methods,
};

int make_name(PyObject*& field, const char* text) noexcept {
    if (field) return 0;
    field = PyUnicode_InternFromString(text);
    return field ? 0 : -1;
}

PyObject* initialise() noexcept {
    if (make_name(names.sys, "sys") < 0 || make_name(names.modules, "modules") < 0 ||
        make_name(names.package_module, "orvex.abstract.package") < 0 || make_name(names.index, "_index") < 0 ||
        make_name(names.resolve, "_resolve") < 0 || make_name(names.read, "_read") < 0 ||
        make_name(names.describe, "_describe") < 0 || make_name(names.dunder_getattr, "__getattr__") < 0)
        return nullptr;
    if (package_types_ready() < 0) return nullptr;
    Ref module = Ref::steal(PyModule_Create(&module_def));
    if (!module || builder_ready(module.get()) < 0) return nullptr;
    PyObject* ns = PyModule_GetDict(module.get());
    if (PyDict_SetItemString(ns, "AbstractPackage", reinterpret_cast<PyObject*>(&package_type)) < 0) return nullptr;

    api.version = api_version;
    api.default_builder = builder_object;
    api.package_type = &package_type;
    api.build = build_paths;
    api.learn = package_learn;
    api.lookup = package_lookup;
    Ref capsule = Ref::steal(PyCapsule_New(&api, capsule_name, nullptr));
    if (!capsule || PyDict_SetItemString(ns, "_api", capsule.get()) < 0) return nullptr;
    return module.release();
}

}  // namespace

}  // namespace orvex::abstract::native

// The name the import system looks for (reserved-looking, but required).
// NOLINTNEXTLINE(bugprone-reserved-identifier)
ORVEX_MODINIT_FUNC PyInit__native(void) { return orvex::abstract::native::initialise(); }
