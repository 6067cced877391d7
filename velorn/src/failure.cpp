#include "failure.hpp"

#include <unistd.h>

#include <cstdio>
#include <new>
#include <string>
#include <string_view>
#include <utility>

#include "py_ref.hpp"

namespace velorn::py {

namespace {

// What a stop that carries no text of its own reports.
constexpr std::string_view kNoPanicText = "panic from Rust code";
constexpr const char* kPanicName = "pyo3_runtime.PanicException";
constexpr const char* kPanicDoc =
    "\n"
    "The exception raised when a call of the vel toolchain stops with a message.\n"
    "\n"
    "Like SystemExit, it derives from BaseException, so a handler for Exception\n"
    "does not catch it and it normally reaches the top of the program.\n";

// Created at the first failure, under the interpreter lock, and kept for the process.
PyObject* panic_type = nullptr;

std::string thread_name() { return gettid() == getpid() ? "main" : "<unnamed>"; }

// The thread, the place and the message, and no hint: nothing would act on one.
void write_report(const vel::Stop& stop) {
  std::string report = "\nthread '" + thread_name() + "' (" + std::to_string(gettid()) +
                       ") panicked at " + stop.where.file_name() + ":" +
                       std::to_string(stop.where.line()) + ":" +
                       std::to_string(stop.where.column()) + ":\n" + stop.message + "\n";
  std::fwrite(report.data(), 1, report.size(), stderr);
  std::fflush(stderr);
}

PyObject* get_panic_type() {
  if (panic_type == nullptr)
    panic_type = PyErr_NewExceptionWithDoc(kPanicName, kPanicDoc, PyExc_BaseException, nullptr);
  return panic_type;
}

// Reports the stop, then raises it with its message as the single argument.
void raise_panic(const vel::Stop& stop) {
  write_report(stop);
  PyObject* type = get_panic_type();
  if (type == nullptr) return;
  // A message is UTF-8 text; a stray byte from a foreign exception must not lose it.
  Ref message(PyUnicode_DecodeUTF8(stop.message.data(),
                                   static_cast<Py_ssize_t>(stop.message.size()), "replace"));
  if (!message) return;
  PyErr_SetObject(type, message.get());
}

vel::Stop stop_here(std::string message,
                    vel::SourceLocation where = vel::SourceLocation::current()) {
  return vel::Stop{std::move(message), where};
}

}  // namespace

PyObject* fail_with(const vel::Stop& stop) noexcept {
  try {
    raise_panic(stop);
  } catch (...) {
    // Building the report itself ran out of memory.
    PyErr_NoMemory();
  }
  return nullptr;
}

PyObject* fail_with(const vel::json::JsonError& error) noexcept {
  try {
    return fail_with(stop_here(vel::json::unwrap_message(error)));
  } catch (...) { PyErr_NoMemory(); }
  return nullptr;
}

PyObject* fail_current() noexcept {
  try {
    try {
      throw;
    } catch (const vel::Interrupted&) {
      // A signal handler raised; its exception is the call's.
    } catch (const vel::Stop& stop) {
      return fail_with(stop);
    } catch (const vel::json::JsonError& error) {
      return fail_with(error);
    } catch (const std::bad_alloc&) { PyErr_NoMemory(); } catch (const std::exception& error) {
      raise_panic(stop_here(error.what()));
    } catch (...) { raise_panic(stop_here(std::string(kNoPanicText))); }
  } catch (...) {
    // Building the report itself ran out of memory.
    PyErr_NoMemory();
  }
  return nullptr;
}

}  // namespace velorn::py
