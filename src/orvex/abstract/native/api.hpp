// The C interface of orvex.abstract._native, the compiled half of the
// abstraction layer (default_builder and AbstractPackage). The decorator takes
// it from the capsule below and calls the shipped builder and package directly
// when a fetch meets exactly those objects; anything else is called as Python.
#pragma once

#include <Python.h>

namespace orvex::abstract::native {

constexpr const char capsule_name[] = "orvex.abstract._native._api";
constexpr int api_version = 2;

struct Api {
    int version;
    // The object that orvex.abstract.magic exports as default_builder.
    PyObject* default_builder;
    // orvex.abstract.package.AbstractPackage: a static type, so an object of
    // exactly this type has exactly these methods.
    PyTypeObject* package_type;

    // default_builder(tokens, mandatory=<mandatory>): `mandatory` borrowed, or
    // nullptr for the default. Returns a new reference to an iterable of search
    // paths (a tuple the caller must not expose), or nullptr with the
    // exception that the builder raises.
    PyObject* (*build)(PyObject* tokens, PyObject* mandatory) noexcept;
    // The same for the `n` tokens at `tokens` (borrowed), as for a tuple of them.
    PyObject* (*build_of)(PyObject* const* tokens, Py_ssize_t n, PyObject* mandatory) noexcept;

    // package.learn() for an object of package_type. Returns 0, or -1 with an
    // exception set.
    int (*learn)(PyObject* package) noexcept;

    // package.lookup(relpath, seq, name) for an object of package_type,
    // without the KeyError of a miss: returns 1 and a new reference in
    // *result, 0 for "not here" (nothing set), or -1 with an exception set.
    int (*lookup)(PyObject* package, PyObject* relpath, PyObject* seq, PyObject* name, PyObject** result) noexcept;
};

}  // namespace orvex::abstract::native
