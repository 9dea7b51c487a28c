// velmora._support_test: the support library on its own, for its tests. Each function hands back
// what the binder and the converters made of its arguments, so the messages of every declared width
// and of every binding error can be checked directly, without a module's own logic in between.
// Stateless: nothing is shared between calls.
#include "native/velmora_native.hpp"

namespace {

using namespace vn::arg;

PyObject* as_tuple(std::initializer_list<PyObject*> items) {
    for (PyObject* item : items)
        if (item == nullptr) {
            for (PyObject* other : items) Py_XDECREF(other);
            return nullptr;
        }
    PyObject* t = PyTuple_New(static_cast<Py_ssize_t>(items.size()));
    Py_ssize_t i = 0;
    for (PyObject* item : items) {
        if (t == nullptr)
            Py_DECREF(item);
        else
            PyTuple_SET_ITEM(t, i++, item);
    }
    return t;
}

// One function per argument kind: the converted value, as Python sees it again.
PyObject* to_i64(PyObject*, I64 v) { return PyLong_FromLongLong(v); }
PyObject* to_u64(PyObject*, U64 v) { return PyLong_FromUnsignedLongLong(v); }
PyObject* to_i32(PyObject*, I32 v) { return PyLong_FromLong(v); }
PyObject* to_u32(PyObject*, U32 v) { return PyLong_FromUnsignedLong(v); }
PyObject* to_cint(PyObject*, CInt v) { return PyLong_FromLong(v); }
PyObject* to_f64(PyObject*, F64 v) { return PyFloat_FromDouble(v); }
PyObject* to_bool(PyObject*, Bool v) { return vn::boolean(v); }
PyObject* to_pyint(PyObject*, PyInt v) { return vn::new_ref(v.get()); }
PyObject* to_str_or_none(PyObject*, ExactOrNone<&PyUnicode_Type> v) { return vn::new_ref(v); }
PyObject* to_list(PyObject*, Exact<&PyList_Type> v) { return vn::new_ref(v); }

// Binding: required, defaulted and keyword arguments, converted in order.
PyObject* bind(PyObject*, Object first, I32 second, PyInt third) {
    return as_tuple({vn::new_ref(first), PyLong_FromLong(second), vn::new_ref(third.get())});
}

PyObject* nothing(PyObject*) { return vn::none(); }

// The raw form: the binder's borrowed arguments as they are.
PyObject* raw(PyObject*, PyObject* const* argv) { return as_tuple({vn::new_ref(argv[0]), vn::new_ref(argv[1])}); }

// A native type: a constructor from a table, and a method descriptor.
struct Probe {
    PyObject_HEAD
    int64_t start;
};

PyTypeObject ProbeType;

PyObject* Probe_new(PyTypeObject* type, I64 start, Object unused) {
    (void)unused;
    PyObject* self = type->tp_alloc(type, 0);
    if (self != nullptr) reinterpret_cast<Probe*>(self)->start = start;
    return self;
}

PyObject* product_or_sum(bool ok, int64_t value) {
    if (ok) return PyLong_FromLongLong(value);
    PyErr_SetString(PyExc_OverflowError, "result out of range");
    return nullptr;
}

PyObject* Probe_add(PyObject* self, I64 delta, Bool twice) {
    int64_t d = 0, r = 0;
    const bool ok = !__builtin_mul_overflow(static_cast<int64_t>(delta), twice ? 2 : 1, &d) &&
                    !__builtin_add_overflow(reinterpret_cast<Probe*>(self)->start, d, &r);
    return product_or_sum(ok, r);
}

// Two methods whose trailing default is converted once (a float for an integer: truncated) and,
// where it does not fit, at each call.
PyObject* times(PyObject* self, int32_t factor) {
    int64_t r = 0;
    const bool ok = !__builtin_mul_overflow(reinterpret_cast<Probe*>(self)->start, factor, &r);
    return product_or_sum(ok, r);
}
PyObject* Probe_times(PyObject* self, I32 factor) { return times(self, factor); }
PyObject* Probe_times_far(PyObject* self, I32 factor) { return times(self, factor); }

int support_test_exec(PyObject* module) {
    using vn::Kind;
    if (!vn::add_functions(
            module,
            {
                {"to_i64", vn::fn<to_i64>, {{"value"}}, nullptr, nullptr, Kind::Function},
                {"to_u64", vn::fn<to_u64>, {{"value"}}, nullptr, nullptr, Kind::Function},
                {"to_i32", vn::fn<to_i32>, {{"value"}}, nullptr, nullptr, Kind::Function},
                {"to_u32", vn::fn<to_u32>, {{"value"}}, nullptr, nullptr, Kind::Function},
                {"to_cint", vn::fn<to_cint>, {{"value"}}, nullptr, nullptr, Kind::Function},
                {"to_f64", vn::fn<to_f64>, {{"value"}}, nullptr, nullptr, Kind::Function},
                {"to_bool", vn::fn<to_bool>, {{"value"}}, nullptr, nullptr, Kind::Function},
                {"to_pyint", vn::fn<to_pyint>, {{"value", "int"}}, nullptr, nullptr, Kind::Function},
                {"to_str_or_none", vn::fn<to_str_or_none>, {{"value", "str"}}, nullptr, nullptr, Kind::Function},
                {"to_list", vn::fn<to_list>, {{"value", "list"}}, nullptr, nullptr, Kind::Function},
                {"bind",
                 vn::fn<bind>,
                 {{"first"}, {"second", nullptr, "2"}, {"third", "int", "3"}},
                 "tuple",
                 "Binding of a required and two defaulted arguments.",
                 Kind::Function},
                {"nothing", vn::fn<nothing>, {}, nullptr, nullptr, Kind::Function},
                {"raw", vn::fn<raw>, {{"a"}, {"b", nullptr, "None"}}, nullptr, nullptr, Kind::Function},
            }))
        return -1;
    vn::init_type(ProbeType, "velmora._support_test.Probe", sizeof(Probe), "A native type of the support library.");
    ProbeType.tp_dealloc = vn::free_instance;
    return vn::ready_type(module, ProbeType,
                          vn::constructor<Probe_new>({{"start", nullptr, "0"}, {"unused", nullptr, "None"}}),
                          {{"add",
                            vn::method<Probe_add>,
                            {{"delta"}, {"twice", "bool", "False"}},
                            "int",
                            "start + delta (twice when asked)."},
                           {"times", vn::method<Probe_times>, {{"factor", nullptr, "2.9"}}, "int", "start * factor."},
                           {"times_far",
                            vn::method<Probe_times_far>,
                            {{"factor", nullptr, "2**40"}},
                            "int",
                            "start * factor; the default does not fit."}})
               ? 0
               : -1;
}

}  // namespace

VN_MODULE(_support_test, "The support library's binder and converters, exposed for their tests.", support_test_exec)
