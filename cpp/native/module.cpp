// The CPython module `_native`: argument checks, UTF-8 in and out, and the PanicException.
#define PY_SSIZE_T_CLEAN
#ifndef Py_LIMITED_API
#define Py_LIMITED_API 0x030A0000
#endif
#include <Python.h>

#if Py_LIMITED_API != 0x030A0000
#error "the module is built against the stable ABI of Python 3.10"
#endif

#include <array>
#include <cstddef>
#include <exception>
#include <optional>
#include <string>
#include <string_view>

#include "core/ffi.hpp"
#include "payouts/ops.hpp"

namespace {

namespace ffi = quorvel_bo::core::ffi;

constexpr const char kCallDoc[] =
    "call(op, payload)\n--\n\n"
    "Runs a payout operation; `payload` and the result are JSON strings\n"
    "(see `quorvel_bo_core::ffi`).";
constexpr const char kPanicName[] = "quorvel_bo.payouts._native.PanicException";
constexpr const char kPanicDoc[] =
    "An internal fault of the native core that escaped its own guard.\n\n"
    "Derived from BaseException: it signals a defect, not an operation failure, so\n"
    "`except Exception` does not swallow it.";
constexpr const char kFatalMessage[] = "uncaught panic at ffi boundary";
constexpr const char kInvalidResult[] = "result document is not valid UTF-8";
constexpr const char kUnknownFault[] = "unknown fault";

// Parameter names of `call`, in positional order.
constexpr std::array<const char*, 2> kParams{"op", "payload"};

// The one piece of process-wide state of the binding: the exception type, created on the first
// import and kept for the life of the process, so that every import of the module (reloads
// included) raises and exposes the same class. Only touched with the GIL held.
PyObject* panic_type = nullptr;

PyObject* panic_exception() {
    if (panic_type == nullptr)
        panic_type = PyErr_NewExceptionWithDoc(kPanicName, kPanicDoc, PyExc_BaseException, nullptr);
    return panic_type;
}

void raise_panic(std::string_view message) noexcept {
    PyObject* type = panic_exception();
    PyObject* text = type == nullptr
                         ? nullptr
                         : PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace");
    if (text == nullptr) Py_FatalError(kFatalMessage);
    PyErr_SetObject(type, text);
    Py_DECREF(text);
}

void raise_not_str(PyObject* value, const char* param) {
    if (value == Py_None) {
        PyErr_Format(PyExc_TypeError, "call() argument '%s' must be str, not None", param);
        return;
    }
    PyObject* type_name = PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(value)), "__name__");
    if (type_name == nullptr) return;
    PyErr_Format(PyExc_TypeError, "call() argument '%s' must be str, not %S", param, type_name);
    Py_DECREF(type_name);
}

// Matches fast-call arguments to the parameters, with the interpreter's wording for mistakes.
// Fills `bound` with borrowed references; false with a TypeError pending otherwise.
bool bind_arguments(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                    std::array<PyObject*, kParams.size()>& bound) {
    const auto max_args = static_cast<Py_ssize_t>(kParams.size());
    const Py_ssize_t nkw = kwnames == nullptr ? 0 : PyTuple_Size(kwnames);
    if (nkw < 0) return false;
    if (nargs + nkw > max_args) {
        PyErr_Format(PyExc_TypeError, "call() takes at most %zd %sarguments (%zd given)", max_args,
                     nargs == 0 ? "keyword " : "", nargs + nkw);
        return false;
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) bound[static_cast<std::size_t>(i)] = args[i];
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* name = PyTuple_GetItem(kwnames, k);
        if (name == nullptr) return false;
        std::size_t index = 0;
        while (index < kParams.size() && PyUnicode_CompareWithASCIIString(name, kParams[index]) != 0) ++index;
        if (index == kParams.size()) {
            PyErr_Format(PyExc_TypeError, "call() got an unexpected keyword argument '%U'", name);
            return false;
        }
        if (static_cast<Py_ssize_t>(index) < nargs) {
            PyErr_Format(PyExc_TypeError, "argument for call() given by name ('%s') and position (%d)", kParams[index],
                         static_cast<int>(index) + 1);
            return false;
        }
        bound[index] = args[nargs + k];
    }
    for (std::size_t index = 0; index < kParams.size(); ++index) {
        if (bound[index] == nullptr) {
            PyErr_Format(PyExc_TypeError, "call() missing required argument '%s' (pos %d)", kParams[index],
                         static_cast<int>(index) + 1);
            return false;
        }
    }
    return true;
}

// The UTF-8 text of a `str` argument (subclasses included). The view lives as long as the object.
std::optional<std::string_view> utf8_argument(PyObject* value, const char* param) {
    if ((PyType_GetFlags(Py_TYPE(value)) & Py_TPFLAGS_UNICODE_SUBCLASS) == 0) {
        raise_not_str(value, param);
        return std::nullopt;
    }
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(value, &size);
    if (data == nullptr) {
        // A lone surrogate: the interpreter's UnicodeEncodeError stays pending as it is.
        return std::nullopt;
    }
    return std::string_view(data, static_cast<std::size_t>(size));
}

PyObject* call(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    std::array<PyObject*, kParams.size()> bound{};
    if (!bind_arguments(args, nargs, kwnames, bound)) return nullptr;
    const std::optional<std::string_view> op = utf8_argument(bound[0], kParams[0]);
    if (!op) return nullptr;
    const std::optional<std::string_view> payload = utf8_argument(bound[1], kParams[1]);
    if (!payload) return nullptr;
    // An answer that never changes is handed over without building a document.
    if (const std::optional<std::string_view> fixed = ffi::fixed_answer(*op))
        return PyUnicode_FromStringAndSize(fixed->data(), static_cast<Py_ssize_t>(fixed->size()));
    // The protocol guards its own work; this catches what escapes it (rendering, allocation).
    try {
        const quorvel_bo::payouts::PayoutsOps registry;
        // The str is made straight from the buffer the document was written into.
        PyObject* result = nullptr;
        ffi::call_into(
            registry, *op, *payload,
            [](void* context, std::string_view document) {
                *static_cast<PyObject**>(context) =
                    PyUnicode_FromStringAndSize(document.data(), static_cast<Py_ssize_t>(document.size()));
            },
            &result);
        if (result == nullptr && PyErr_ExceptionMatches(PyExc_UnicodeDecodeError)) {
            PyErr_Clear();
            raise_panic(kInvalidResult);
        }
        return result;
    } catch (const std::exception& fault) {
        raise_panic(fault.what());
    } catch (...) {
        raise_panic(kUnknownFault);
    }
    return nullptr;
}

PyMethodDef call_def = {
    "call",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&call)),
    METH_FASTCALL | METH_KEYWORDS,
    kCallDoc,
};

// Appends `name` to the module's `__all__` (creating the list when missing), then sets the
// attribute. Takes ownership of `value`, which may be null when its creation failed.
int add_public(PyObject* module, PyObject* all_name, const char* name, PyObject* value) {
    if (value == nullptr) return -1;
    int status = -1;
    PyObject* key = PyUnicode_InternFromString(name);
    PyObject* all = key == nullptr ? nullptr : PyObject_GetAttr(module, all_name);
    if (key != nullptr && all == nullptr && PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
        all = PyList_New(0);
        if (all != nullptr && PyObject_SetAttr(module, all_name, all) < 0) Py_CLEAR(all);
    }
    if (all != nullptr && PyList_Append(all, key) == 0 && PyObject_SetAttr(module, key, value) == 0) status = 0;
    Py_XDECREF(all);
    Py_XDECREF(key);
    Py_DECREF(value);
    return status;
}

int exec_module(PyObject* module) {
    PyObject* all_name = PyUnicode_InternFromString("__all__");
    if (all_name == nullptr) return -1;
    int status = -1;
    PyObject* module_name = PyModule_GetNameObject(module);
    if (module_name != nullptr) {
        status = add_public(module, all_name, "call", PyCMethod_New(&call_def, module, module_name, nullptr));
        Py_DECREF(module_name);
    }
    if (status == 0)
        status = add_public(
            module, all_name, "__version__",
            PyUnicode_FromStringAndSize(ffi::kCoreVersion.data(), static_cast<Py_ssize_t>(ffi::kCoreVersion.size())));
    if (status == 0) status = add_public(module, all_name, "PROTOCOL_VERSION", PyLong_FromLong(ffi::kProtocolVersion));
    if (status == 0) {
        // Reachable for `except`, but not part of `__all__`.
        PyObject* panic = panic_exception();
        status = panic == nullptr ? -1 : PyObject_SetAttrString(module, "PanicException", panic);
    }
    Py_DECREF(all_name);
    return status;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(&exec_module)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "_native", "", 0, nullptr, module_slots, nullptr, nullptr, nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__native() { return PyModuleDef_Init(&module_def); }
