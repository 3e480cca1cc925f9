// Entry point of orvex.abstract._native: default_builder, AbstractPackage and
// the capsule through which the decorator calls both without Python calls.
// orvex.abstract.magic and orvex.abstract.package re-export the two names.
#include "../compat.hpp"
#include "../main_interpreter.hpp"
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

int make_name(PyObject*& field, const char* text) noexcept {
    if (field) return 0;
    field = PyUnicode_InternFromString(text);
    return field ? 0 : -1;
}

// The module's exec step, run for every module object made, in whichever
// interpreter imports it. What it makes is made once and kept for the
// process; a module made again exports the same objects.
int exec_module(PyObject* module) noexcept {
    PyObject* module_name = PyModule_GetNameObject(module);
    if (!module_name) return -1;
    Ref held_name = Ref::steal(module_name);
    const char* shown = PyUnicode_AsUTF8(module_name);
    if (!shown || refuse_sub_interpreter(shown) < 0) return -1;

    if (make_name(names.sys, "sys") < 0 || make_name(names.modules, "modules") < 0 ||
        make_name(names.package_module, "orvex.abstract.package") < 0 || make_name(names.index, "_index") < 0 ||
        make_name(names.resolve, "_resolve") < 0 || make_name(names.read, "_read") < 0 ||
        make_name(names.describe, "_describe") < 0 || make_name(names.dunder_getattr, "__getattr__") < 0)
        return -1;
    if (package_types_ready() < 0 || builder_ready(module) < 0) return -1;
    PyObject* ns = PyModule_GetDict(module);
    if (PyDict_SetItemString(ns, "AbstractPackage", reinterpret_cast<PyObject*>(&package_type)) < 0) return -1;

    static PyObject* capsule = nullptr;
    if (!capsule) {
        api.version = api_version;
        api.default_builder = builder_object;
        api.package_type = &package_type;
        api.build = build_paths;
        api.build_of = build_paths_of;
        api.learn = package_learn;
        api.lookup = package_lookup;
        capsule = PyCapsule_New(&api, capsule_name, nullptr);
        if (!capsule) return -1;
    }
    return PyDict_SetItemString(ns, "_api", capsule);
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    // Admitted everywhere, so that every interpreter but the main one hears
    // this module's own refusal, which says what to do.
    ORVEX_SLOT_ANY_INTERPRETER{0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "_native",
    "The compiled half of the abstraction layer: see orvex.abstract.magic and orvex.abstract.package.",
    0,
    module_methods,
    module_slots,
};

}  // namespace

}  // namespace orvex::abstract::native

// The name the import system looks for (reserved-looking, but required).
// NOLINTNEXTLINE(bugprone-reserved-identifier)
ORVEX_MODINIT_FUNC PyInit__native(void) { return PyModuleDef_Init(&orvex::abstract::native::module_def); }
