// LookupDecorator's methods: __init__ and __call__ record how tokens are
// collected and which method is decorated; __get__ looks the implementation
// up on every fetch through an object and returns a dispatch wrapper.
#include "lookup_decorator.hpp"

namespace orvex::abstract {

namespace {

PyObject* not_yet(FunctionObject* self) noexcept {
    PyErr_Format(PyExc_NotImplementedError, "%s is not available in this build", self->def->traceback_name);
    return fail(self, self->def->first_line);
}

PyObject* lookup_decorator_init(FunctionObject* self, Arguments&) noexcept { return not_yet(self); }
PyObject* lookup_decorator_call(FunctionObject* self, Arguments&) noexcept { return not_yet(self); }
PyObject* lookup_decorator_get(FunctionObject* self, Arguments&) noexcept { return not_yet(self); }
PyObject* wrapper(FunctionObject* self, Arguments&) noexcept { return not_yet(self); }

const char* const init_varnames[] = {"self", "builder", "attr_getter", "attrs", "builder_kwargs"};
const char* const call_varnames[] = {"self", "method"};
const char* const get_varnames[] = {"self",   "instance", "owner",    "module", "names", "i",      "parent",
                                    "module_name", "package", "tokens", "sequence", "relpath", "name",
                                    "rest",   "cls",      "seq",      "func",   "wrapper", "wrapper"};
const char* const wrapper_varnames[] = {"args", "kwargs", "e"};

constexpr int plain = CO_OPTIMIZED | CO_NEWLOCALS;
constexpr int star = plain | CO_VARARGS | CO_VARKEYWORDS;

}  // namespace

const FunctionDef init_def = {
    fn_init, "__init__", "orvex.abstract.decorator.LookupDecorator.__init__",
    106, star, 1, 1, 2, init_varnames, 5, lookup_decorator_init,
};
const FunctionDef call_def = {
    fn_call, "__call__", "orvex.abstract.decorator.LookupDecorator.__call__",
    122, plain, 2, 2, 0, call_varnames, 2, lookup_decorator_call,
};
const FunctionDef get_def = {
    fn_get, "__get__", "orvex.abstract.decorator.LookupDecorator.__get__",
    135, plain, 3, 3, 0, get_varnames, 19, lookup_decorator_get,
};
const FunctionDef wrapper_def = {
    fn_wrapper, "wrapper", "orvex.abstract.decorator.LookupDecorator.__get__.wrapper",
    230, star, 0, 0, 0, wrapper_varnames, 3, wrapper,
};

}  // namespace orvex::abstract
