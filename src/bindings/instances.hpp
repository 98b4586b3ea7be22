// The bound instance of a method, refused unless its __init__ has run.
// An instance made by Cls.__new__(Cls), or by a subclass that skips
// __init__, holds no constructed record: pybind11's own caster would hand
// out uninitialised memory for it.
#pragma once

#include <pybind11/pybind11.h>

#include <string>

namespace qor::bindings {

template <typename T>
struct Self {
    T* ptr = nullptr;
    T& operator*() const { return *ptr; }
    T* operator->() const { return ptr; }
};

}  // namespace qor::bindings

namespace pybind11::detail {

template <typename T>
struct type_caster<qor::bindings::Self<T>> {
    // Shown as the class itself, as pybind11 shows a bound instance.
    PYBIND11_TYPE_CASTER(qor::bindings::Self<T>, make_caster<T>::name);

    bool load(handle src, bool) {
        const type_info* info = get_type_info(typeid(T));
        if (!info || !PyObject_TypeCheck(src.ptr(), info->type)) return false;
        value_and_holder v_h = reinterpret_cast<instance*>(src.ptr())->get_value_and_holder(info, false);
        if (!v_h || !v_h.holder_constructed() || !v_h.value_ptr())
            throw type_error(std::string(Py_TYPE(src.ptr())->tp_name) + " object is not initialised: " +
                             info->type->tp_name + ".__init__() was never called on it");
        value.ptr = static_cast<T*>(v_h.value_ptr());
        return true;
    }
};

}  // namespace pybind11::detail
