// New Python objects for results, made so that running out of memory is a
// MemoryError: pybind11's own list, dict, int and float constructors fail
// with RuntimeError instead, and its instance maker does not check its
// allocation.
#pragma once

#include <pybind11/pybind11.h>

#include <cstdint>
#include <memory>
#include <utility>

namespace qor::bindings {

// A new reference as an object; null (a failed allocation, error set)
// throws.
inline pybind11::object checked(PyObject* p) {
    if (!p) throw pybind11::error_already_set();
    return pybind11::reinterpret_steal<pybind11::object>(p);
}

inline pybind11::object new_list(std::size_t n) { return checked(PyList_New(static_cast<Py_ssize_t>(n))); }
inline pybind11::object new_dict() { return checked(PyDict_New()); }
inline pybind11::object int_object(int32_t v) { return checked(PyLong_FromLong(v)); }
inline pybind11::object float_object(double v) { return checked(PyFloat_FromDouble(v)); }

// Puts `item` into slot i of a new list (whose slots start empty).
inline void set_item(const pybind11::object& list, std::size_t i, pybind11::object item) {
    PyList_SET_ITEM(list.ptr(), static_cast<Py_ssize_t>(i), item.release().ptr());
}

inline void set_key(const pybind11::object& dict, const pybind11::object& key, const pybind11::object& value) {
    if (PyDict_SetItem(dict.ptr(), key.ptr(), value.ptr()) != 0) throw pybind11::error_already_set();
}

// A new Python instance of the registered class T that owns `value`, as
// pybind11's cast with the move policy makes it.
template <typename T>
pybind11::object instance_of(T&& value) {
    namespace detail = pybind11::detail;
    const detail::type_info* info = detail::get_type_info(typeid(T));
    if (!info) throw pybind11::type_error("unregistered type");
    PyTypeObject* type = info->type;
    pybind11::object self = checked(type->tp_alloc(type, 0));
    auto* inst = reinterpret_cast<detail::instance*>(self.ptr());
    inst->allocate_layout();
    std::unique_ptr<T> owned = std::make_unique<T>(std::move(value));
    inst->get_value_and_holder(info).value_ptr() = owned.release();
    inst->owned = true;
    info->init_instance(inst, nullptr);
    return self;
}

}  // namespace qor::bindings
