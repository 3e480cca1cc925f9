// The attribute collectors (default and device) and the device variant of the
// decorator. Their definitions are turned into function objects by module
// initialisation (decorator.cpp).
#pragma once

#include "../function/function.hpp"

namespace orvex::abstract {

// default_token_getter(obj, attrs): first line 9.
extern const FunctionDef default_token_getter_def;
// from_device_token_getter(obj, defaults=[]): first line 38.
extern const FunctionDef from_device_token_getter_def;
// lookup_from_device(*args, **kwargs): first line 238.
extern const FunctionDef lookup_from_device_def;

}  // namespace orvex::abstract
