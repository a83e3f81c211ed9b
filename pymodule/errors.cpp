#include "errors.hpp"

#include <cerrno>
#include <cstring>
#include <new>
#include <stdexcept>
#include <typeinfo>

#include "pyref.hpp"

namespace rsvelmopy {

namespace {

using Kind = rsvelmo::Error::Kind;

// The OSError subclass Python itself raises for an error number.
PyObject* os_error_type(int err) {
    switch (err) {
        case ENOENT: return PyExc_FileNotFoundError;
        case EEXIST: return PyExc_FileExistsError;
        case EISDIR: return PyExc_IsADirectoryError;
        case ENOTDIR: return PyExc_NotADirectoryError;
        case EACCES:
        case EPERM: return PyExc_PermissionError;
        case EINTR: return PyExc_InterruptedError;
        case EAGAIN: return PyExc_BlockingIOError;
        case ETIMEDOUT: return PyExc_TimeoutError;
        default: return PyExc_OSError;
    }
}

PyObject* set(PyObject* type, const std::string& message) {
    PyRef text = PyRef::steal(PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
    if (text) PyErr_SetObject(type, text.get());
    return nullptr;
}

// OSError(errno, strerror, filename), which picks the matching subclass itself.
PyObject* set_os_error(int err, const std::string& path) {
    PyRef filename = PyRef::steal(PyUnicode_DecodeFSDefaultAndSize(path.data(), static_cast<Py_ssize_t>(path.size())));
    if (!filename) return nullptr;
    PyRef exception =
        PyRef::steal(PyObject_CallFunction(PyExc_OSError, "isO", err, std::strerror(err), filename.get()));
    if (exception) PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exception.get())), exception.get());
    return nullptr;
}

// "file, line N: message", or "file: message" without a line.
std::string located(const rsvelmo::Error& error) {
    std::string where = error.subject;
    if (error.line > 0) where += ", line " + std::to_string(error.line);
    return where + ": " + error.message;
}

}  // namespace

PyObject* raise(const rsvelmo::Error& error, Convention convention) {
    const bool reference = convention == Convention::Reference;
    switch (error.kind) {
        case Kind::Io:
            if (reference) return set(os_error_type(error.os_error), error.message);
            return error.os_error != 0 ? set_os_error(error.os_error, error.subject)
                                       : set(PyExc_OSError, located(error));
        case Kind::Malformed:
            return reference ? set(PyExc_OSError, error.message) : set(PyExc_ValueError, located(error));
        case Kind::Argument: return set(PyExc_ValueError, error.message);
        case Kind::Unsupported: return set(PyExc_RuntimeError, error.message);
        case Kind::OutOfMemory: return error.message.empty() ? PyErr_NoMemory() : set(PyExc_MemoryError, error.message);
        case Kind::Internal: break;
    }
    return set(PyExc_RuntimeError, error.message);
}

rsvelmo::Error failure_of(const std::exception& e) {
    if (dynamic_cast<const std::bad_alloc*>(&e) != nullptr) {
        const bool plain = typeid(e) == typeid(std::bad_alloc) || typeid(e) == typeid(std::bad_array_new_length);
        return rsvelmo::Error::of(Kind::OutOfMemory, plain ? "" : e.what());
    }
    if (dynamic_cast<const std::length_error*>(&e) != nullptr) {
        return rsvelmo::Error::of(Kind::OutOfMemory, std::string("cannot allocate: ") + e.what());
    }
    return rsvelmo::Error::of(Kind::Internal, std::string("the analysis failed: ") + e.what());
}

PyObject* raise_argument(const char* parameter, const std::string& message) {
    return raise(rsvelmo::Error::argument(parameter, message), Convention::Python);
}

bool check_signals() { return PyErr_CheckSignals() == 0; }

bool warn(PyObject* category, const std::string& message) { return PyErr_WarnEx(category, message.c_str(), 1) == 0; }

PyObject* new_warning_category(const char* name, const char* doc, PyObject* base) {
    return PyErr_NewExceptionWithDoc(name, doc, base, nullptr);
}

PyObject* raise_import_error(const char* message) { return set(PyExc_ImportError, message); }

}  // namespace rsvelmopy
