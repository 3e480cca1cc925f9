// The process-wide state and the texts it is made from: interned names,
// message pieces and the docstrings of the class and its functions.
#include "state.hpp"

#include "ref.hpp"

namespace orvex::abstract {

State state;

namespace {

const char doc_class_text[] =
    "LookupDecorator\n"
    "\n"
    "    Decorates methods of classes in abstracted packages and makes the method\n"
    "    references dynamic: calling obj.b() first looks the tokens up and, if a\n"
    "    match is found, calls b of the class that the tokens matched.\n"
    "\n"
    "    The class is built on Python's descriptor mechanism.\n"
    "\n"
    "    Note\n"
    "    ----\n"
    "        Works on the same principles as the AbstractPackage and Lookup()\n"
    "        pair. Instead of needing declare_package() at the root of an\n"
    "        abstraction package, it treats the module of the class that uses it\n"
    "        as the root of a new abstraction package and goes on from there.\n"
    "\n"
    "    Examples\n"
    "    --------\n"
    "        class MyClass(object):\n"
    "\n"
    "            @LookupDecorator('os')\n"
    "            def do_work(self):\n"
    "                pass\n"
    "\n"
    "    Arguments\n"
    "    ---------\n"
    "        *attrs (list of str): list of attributes to collect token information.\n"
    "        builder (func): function used for creating the lookup token sequence\n"
    "        attr_getter (func): function to call to collect object attributes\n"
    "        **builder_kwargs (kwargs): any other keyword arguments for the\n"
    "                                   sequence builder.\n"
    "\n"
    "    ";

const char doc_call_text[] =
    "__call__\n"
    "\n"
    "        called as part of the descriptor action. Stores the method internally\n"
    "        and builds a new abstraction package at this module level if needed.\n"
    "        ";

const char doc_get_text[] =
    "__get__\n"
    "\n"
    "        python descriptor protocol: __get__. This is called when the user\n"
    "        performs an attribute get on this decorated method. This is where the\n"
    "        method abstraction mechanism takes place:\n"
    "\n"
    "            - find the tokens by reading the specified attributes from object\n"
    "            - build the abstraction sequence\n"
    "            - perform lookup, make sure to use full class qualified name\n"
    "            - call the looked-up method.\n"
    "        ";

const char doc_default_token_getter_text[] =
    "default_token_getter\n"
    "\n"
    "    default api to be used by the LookupDecorator in order to collect the\n"
    "    provided attributes during runtime.\n"
    "\n"
    "    This api first attempts to get obj.<attr>. If not found, attempts to collect\n"
    "    from obj.device.<attr>, else raise error.\n"
    "\n"
    "    Arguments\n"
    "    ---------\n"
    "        obj (object): object to collect attribute from\n"
    "        attrs (list of strings): names of attribute to get\n"
    "\n"
    "    Returns\n"
    "    -------\n"
    "        collected attributes\n"
    "    ";

const char doc_from_device_token_getter_text[] =
    "from_device_token_getter\n"
    "\n"
    "    default api to be used by the LookupFromDeviceDecorator in order to collect\n"
    "    the provided attributes during runtime.\n"
    "\n"
    "    This api first attempts to get attributes from device.custom.abstraction.\n"
    "    If not found, falls back to provided defaults.\n"
    "\n"
    "    This api first attempts to get obj.<attr>. If not found, attempts to collect\n"
    "    from obj.device.<attr>, else raise error.\n"
    "\n"
    "    Arguments\n"
    "    ---------\n"
    "        obj (object): object to collect attribute from\n"
    "        attrs (list of strings): names of attribute to get\n"
    "\n"
    "    Returns\n"
    "    -------\n"
    "        collected attributes\n"
    "    ";

const char doc_lookup_from_device_text[] =
    "lookup_from_device\n"
    "\n"
    "    The actual LookupDecorator.from_device decorator\n"
    "\n"
    "    If decorator is called without arguments (no ()), the method would be the\n"
    "    first argument. we need to manually call dunder __call__().\n"
    "\n"
    "    If it is called with arguments, then we need to return the actual decorator\n"
    "    that takes in the method.\n"
    "\n"
    "    ";

// Makes `field` unless an earlier (possibly failed) initialisation already did.
// Interning also hashes the string, so no later use can fail on that.
int make_string(PyObject*& field, const char* text) noexcept {
    if (field) return 0;
    Ref s = Ref::steal(PyUnicode_InternFromString(text));
    if (!s) return -1;
    set_field(field, std::move(s));
    return 0;
}

}  // namespace

int state_make_strings() noexcept {
#define ORVEX_MAKE_STRING(field, text) \
    if (make_string(state.str_##field, text) < 0) return -1;
    ORVEX_STRINGS(ORVEX_MAKE_STRING)
#undef ORVEX_MAKE_STRING
    if (make_string(state.doc_class, doc_class_text) < 0) return -1;
    if (make_string(state.doc_call, doc_call_text) < 0) return -1;
    if (make_string(state.doc_get, doc_get_text) < 0) return -1;
    if (make_string(state.doc_default_token_getter, doc_default_token_getter_text) < 0) return -1;
    if (make_string(state.doc_from_device_token_getter, doc_from_device_token_getter_text) < 0) return -1;
    if (make_string(state.doc_lookup_from_device, doc_lookup_from_device_text) < 0) return -1;
    return 0;
}

}  // namespace orvex::abstract
