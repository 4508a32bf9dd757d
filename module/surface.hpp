// module/surface.hpp: the tables through which Python reaches the module:
// module functions, class members and properties, in the order they are bound.
#pragma once
#include "module/python.hpp"

#include <span>

#include "module/function.hpp"

namespace corvane {

struct NamedFn {
  const char *attr;  // name bound in the namespace
  const FnDef *def;
};

extern std::span<const NamedFn> kModuleFunctions;  // bound in this order
extern std::span<const NamedFn> kClassMembers;     // attached in this order, after the pickling refusal
extern const FnDef kReduceDef, kSetStateDef;
extern const FnDef kStreamToImageDef;  // whose function the front door runs directly
extern PyGetSetDef kImageProperties[];

}  // namespace corvane
