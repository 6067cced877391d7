// The owner of one reference to a Python object.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace velorn::py {

// Owns one reference; the pointer is released when the owner goes out of scope.
class Ref {
 public:
  explicit Ref(PyObject* object = nullptr) : object_(object) {}
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  ~Ref() { Py_XDECREF(object_); }

  PyObject* get() const { return object_; }
  explicit operator bool() const { return object_ != nullptr; }
  PyObject* release() {
    PyObject* object = object_;
    object_ = nullptr;
    return object;
  }

 private:
  PyObject* object_;
};

}  // namespace velorn::py
