#include "py_error.h"

#include <cerrno>
#include <new>
#include <string>

#include "base/error.h"

namespace quillan::py {
namespace {

// The exception class for a system error number: the numbers below get their OSError
// subclass, every other number OSError itself. The class is chosen here rather than by
// PyErr_SetFromErrno, which maps more numbers (ESHUTDOWN, ECHILD, EINPROGRESS ...) to
// subclasses and also sets errno and strerror on the exception.
PyObject* class_for_errno(int err) {
    switch (err) {
        case ENOENT:
            return PyExc_FileNotFoundError;
        case EPERM:
        case EACCES:
            return PyExc_PermissionError;
        case ECONNREFUSED:
            return PyExc_ConnectionRefusedError;
        case ECONNRESET:
            return PyExc_ConnectionResetError;
        case ECONNABORTED:
            return PyExc_ConnectionAbortedError;
        case EPIPE:
            return PyExc_BrokenPipeError;
        case EEXIST:
            return PyExc_FileExistsError;
#if EWOULDBLOCK != EAGAIN
        case EWOULDBLOCK:
#endif
        case EAGAIN:
            return PyExc_BlockingIOError;
        case ENOTDIR:
            return PyExc_NotADirectoryError;
        case EISDIR:
            return PyExc_IsADirectoryError;
        case ETIMEDOUT:
            return PyExc_TimeoutError;
        case EINTR:
            return PyExc_InterruptedError;
        case ENOMEM:
            return PyExc_MemoryError;
        default:
            return PyExc_OSError;
    }
}

PyObject* class_for(const Error& error) {
    switch (error.kind) {
        case ErrorKind::Os:
            return class_for_errno(error.os_errno);
        case ErrorKind::UnexpectedEof:
        case ErrorKind::WriteZero:
        case ErrorKind::InvalidData:
        case ErrorKind::FileAccess:
            return PyExc_OSError;
        case ErrorKind::NotConnected:
        case ErrorKind::ConnectFailed:
            return PyExc_ConnectionError;
        case ErrorKind::InvalidArgument:
            return PyExc_ValueError;
        case ErrorKind::FileNotFound:
            return PyExc_FileNotFoundError;
        case ErrorKind::Internal:
            return PyExc_RuntimeError;
        case ErrorKind::Interrupted:
            return PyExc_InterruptedError;
        case ErrorKind::TimedOut:
            return PyExc_TimeoutError;
    }
    return PyExc_RuntimeError;
}

void set_message(PyObject* cls, const std::string& text) {
    // The message is the exception's single argument: no errno, no strerror attribute. Built
    // with its length, since a path in it may hold a NUL.
    PyObject* msg =
        PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
    if (msg == nullptr) return;
    PyErr_SetObject(cls, msg);
    Py_DECREF(msg);
}

}  // namespace

void set_python_error(const Error& error) {
    // A wait stopped by a signal handler that raised: its exception is the one to see.
    if (error.kind == ErrorKind::Interrupted && PyErr_Occurred()) return;
    set_message(class_for(error), error.text);
}

void throw_cast_error(PyObject* obj, const char* target) {
    PyRef qualname = PyRef::steal(PyType_GetQualName(Py_TYPE(obj)));
    PyErr_Format(PyExc_TypeError, "'%U' object cannot be cast as '%s'", qualname.get(), target);
    throw_py_error();
}

void set_python_error_from_current() noexcept {
    try {
        throw;
    } catch (const PyErrAlreadySet&) {
        if (!PyErr_Occurred()) {
            PyErr_SetString(PyExc_SystemError, "error return without exception set");
        }
    } catch (const Error& error) {
        set_python_error(error);
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        set_message(PyExc_RuntimeError, e.what());
    } catch (...) {
        PyErr_SetString(PyExc_RuntimeError, "unknown internal error");
    }
}

}  // namespace quillan::py
