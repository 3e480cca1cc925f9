// Where the two extension modules load: in the main interpreter only.
//
// Both keep their state for the whole process (the decorator's namespace, the
// builder's slots, every AbstractPackage's answers), and all of it holds
// objects of the interpreter that made it. A second interpreter that reached
// it would read the first one's sys.modules and leave its own classes behind
// in the first one's caches, to be run after it is gone. So every other
// interpreter is refused before anything is made:
//  - orvex.abstract._native is multi-phase and refuses in its exec step,
//    which every interpreter runs for itself, whichever imported first;
//  - orvex.abstract imports _native before anything else, so a plain import
//    of any of its modules is refused there;
//  - the decorator's entry point refuses too, where it is called at all (a
//    single-phase module is copied into later interpreters without a call).
#pragma once

#include "compat.hpp"
#include "ref.hpp"

namespace orvex::abstract {

inline constexpr const char sub_interpreter_message[] =
    "orvex.abstract runs only in the main interpreter, not in a sub-interpreter: configure the host that "
    "embeds Python to run this application in the main interpreter, or run it in a process of its own";

// 0 in the main interpreter; elsewhere -1, with an ImportError naming
// `module_name` set.
inline int refuse_sub_interpreter(const char* module_name) noexcept {
    if (compat::in_main_interpreter()) return 0;
    Ref message = Ref::steal(PyUnicode_FromString(sub_interpreter_message));
    Ref name = Ref::steal(PyUnicode_FromString(module_name));
    if (message && name) PyErr_SetImportError(message.get(), name.get(), nullptr);
    return -1;
}

}  // namespace orvex::abstract
