// from_device_token_getter and lookup_from_device: tokens named by the
// device's `custom` settings, and the decorator that installs that collector.
#include "token_getters.hpp"

namespace orvex::abstract {

namespace {

PyObject* not_yet(FunctionObject* self) noexcept {
    PyErr_Format(PyExc_NotImplementedError, "%s is not available in this build", self->def->traceback_name);
    return fail(self, self->def->first_line);
}

PyObject* from_device_token_getter(FunctionObject* self, Arguments&) noexcept { return not_yet(self); }
PyObject* lookup_from_device(FunctionObject* self, Arguments&) noexcept { return not_yet(self); }

const char* const getter_varnames[] = {"obj", "defaults", "attrs", "device", "abstraction"};
const char* const decorator_varnames[] = {"args", "kwargs"};

}  // namespace

const FunctionDef from_device_token_getter_def = {
    fn_from_device_token_getter, "from_device_token_getter", "orvex.abstract.decorator.from_device_token_getter",
    38, CO_OPTIMIZED | CO_NEWLOCALS, 2, 1, 0, getter_varnames, 5, from_device_token_getter,
};
const FunctionDef lookup_from_device_def = {
    fn_lookup_from_device, "lookup_from_device", "orvex.abstract.decorator.lookup_from_device",
    238, CO_OPTIMIZED | CO_NEWLOCALS | CO_VARARGS | CO_VARKEYWORDS, 0, 0, 0, decorator_varnames, 2,
    lookup_from_device,
};

}  // namespace orvex::abstract
