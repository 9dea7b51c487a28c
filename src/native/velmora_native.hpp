// velmora's native support library: include this one header from a module source.
//
//   threads.hpp   critical sections, mutexes and strong item access (free-threaded builds)
//   ref.hpp       owned references (vn::Ref), interned names, calls by name, vn::NoGil, dict helpers
//   convert.hpp   integer / float / bool / exact-type conversions with the shared messages
//   pyops.hpp     globals at call time, getattr with default, imports, unpacking, saturating casts
//   function.hpp  parameter tables, the argument binder and the native function type
//   module.hpp    native types, module frame (VN_MODULE), logger, `with` on a threading.Lock
#pragma once

#include "convert.hpp"
#include "function.hpp"
#include "module.hpp"
#include "pyops.hpp"
#include "ref.hpp"
