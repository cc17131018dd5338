#include "pyglue.hpp"

namespace morvent::native {

namespace {

[[noreturn]] void raise_current() { throw nb::python_error(); }

nb::object check(PyObject* result) {
    if (!result) raise_current();
    return nb::steal(result);
}

}  // namespace

ModuleScope::ModuleScope(nb::handle module) : module_(module) {
    PyObject* dict = PyModule_GetDict(module.ptr());  // borrowed
    if (!dict) raise_current();
    // Kept for the life of the process on purpose; see the header.
    dict_ = nb::handle(dict).inc_ref();
}

nb::object ModuleScope::global(const char* name) const {
    PyObject* value = PyDict_GetItemString(dict_.ptr(), name);  // borrowed
    if (value) return nb::borrow(value);
    PyObject* builtins = PyEval_GetBuiltins();  // borrowed
    if (builtins) {
        value = PyDict_GetItemString(builtins, name);
        if (value) return nb::borrow(value);
    }
    PyErr_Format(PyExc_NameError, "name '%s' is not defined", name);
    raise_current();
}

void ModuleScope::bind(const char* name, nb::handle value) const {
    if (PyDict_SetItemString(dict_.ptr(), name, value.ptr()) != 0) raise_current();
}

nb::str ModuleScope::module_name() const {
    return nb::str(global("__name__"));
}

nb::object ModuleScope::logger() const {
    return global("logging").attr("getLogger")(global("__name__"));
}

nb::str ModuleScope::controller_url(const char* path) const {
    nb::object ip = global("Globals").attr("controller_ip");
    return text({"https://", ip, path});
}

void ModuleScope::import_from(const char* module, const char* name, const char* alias) const {
    nb::object mod = check(PyImport_ImportModuleLevel(
        module, dict_.ptr(), nullptr, nb::make_tuple(name).ptr(), 0));
    nb::object value;
    PyObject* raw = PyObject_GetAttrString(mod.ptr(), name);
    if (!raw) {
        // Match `from m import x`: an ImportError naming both.
        PyErr_Clear();
        PyErr_Format(PyExc_ImportError, "cannot import name '%s' from '%s'", name, module);
        raise_current();
    }
    value = nb::steal(raw);
    bind(alias ? alias : name, value);
}

void ModuleScope::import_module(const char* module) const {
    bind(module, check(PyImport_ImportModule(module)));
}

nb::str Piece::str() const {
    if (text_) return nb::str(text_);
    return str_of(value_);
}

nb::str str_of(nb::handle value) {
    return nb::steal<nb::str>(check(PyObject_Str(value.ptr())).release());
}

nb::str text(std::initializer_list<Piece> pieces) {
    nb::list parts;
    for (const Piece& piece : pieces) parts.append(piece.str());
    return nb::steal<nb::str>(check(PyUnicode_Join(nb::str("").ptr(), parts.ptr())).release());
}

void log_info(nb::handle logger, std::initializer_list<Piece> pieces) {
    logger.attr("info")(text(pieces));
}

void log_error(nb::handle logger, std::initializer_list<Piece> pieces) {
    logger.attr("error")(text(pieces));
}

bool equals(nb::handle a, nb::handle b) { return compare(a, b, Py_EQ); }

bool is_true(nb::handle value) {
    int result = PyObject_IsTrue(value.ptr());
    if (result < 0) raise_current();
    return result == 1;
}

nb::object item(nb::handle container, nb::handle key) {
    return check(PyObject_GetItem(container.ptr(), key.ptr()));
}

nb::object item(nb::handle container, const char* key) {
    return item(container, nb::str(key));
}

nb::object item(nb::handle container, Py_ssize_t index) {
    return item(container, nb::int_(index));
}

void set_item(nb::handle container, const char* key, nb::handle value) {
    if (PyObject_SetItem(container.ptr(), nb::str(key).ptr(), value.ptr()) != 0) raise_current();
}

Py_ssize_t length(nb::handle value) {
    Py_ssize_t n = PyObject_Length(value.ptr());
    if (n < 0) raise_current();
    return n;
}

nb::dict payload(std::initializer_list<Field> fields) {
    nb::dict result;
    for (const Field& field : fields) result[field.first] = field.second;
    return result;
}

nb::str class_name(nb::handle obj) {
    return nb::str(nb::handle(reinterpret_cast<PyObject*>(Py_TYPE(obj.ptr()))).attr("__name__"));
}

nb::object make_class(const ModuleScope& scope, const char* name, nb::tuple bases) {
    nb::dict ns;
    ns["__module__"] = scope.module_name();
    ns["__qualname__"] = name;
    nb::object type = nb::borrow(reinterpret_cast<PyObject*>(&PyType_Type));
    return type(name, bases, ns);
}

void add_member(nb::handle cls, const char* name, nb::handle member) {
    nb::setattr(cls, name, member);
}

[[noreturn]] void raise_object(nb::handle exc) {
    if (PyExceptionInstance_Check(exc.ptr())) {
        PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc.ptr())), exc.ptr());
    } else if (PyExceptionClass_Check(exc.ptr())) {
        PyErr_SetNone(exc.ptr());
    } else {
        PyErr_SetString(PyExc_TypeError, "exceptions must derive from BaseException");
    }
    raise_current();
}

bool compare(nb::handle a, nb::handle b, int op) {
    return is_true(check(PyObject_RichCompare(a.ptr(), b.ptr(), op)));
}

nb::object find_global(const ModuleScope& scope, const char* name) {
    PyObject* value = PyDict_GetItemString(scope.dict().ptr(), name);  // borrowed
    if (!value) {
        PyObject* builtins = PyEval_GetBuiltins();  // borrowed
        if (builtins) value = PyDict_GetItemString(builtins, name);
    }
    return value ? nb::borrow(value) : nb::object();
}

std::pair<nb::object, nb::object> unpack_pair(nb::handle value) {
    PyObject* raw = PyObject_GetIter(value.ptr());
    if (!raw) {
        PyTypeObject* type = Py_TYPE(value.ptr());
        if (PyErr_ExceptionMatches(PyExc_TypeError) && !type->tp_iter &&
            !PySequence_Check(value.ptr())) {
            PyErr_Clear();
            PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.200s object",
                         type->tp_name);
        }
        raise_current();
    }
    nb::object it = nb::steal(raw);
    nb::object items[2];
    for (int got = 0; got < 2; ++got) {
        PyObject* next = PyIter_Next(it.ptr());
        if (!next) {
            if (PyErr_Occurred()) raise_current();
            PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected 2, got %d)",
                         got);
            raise_current();
        }
        items[got] = nb::steal(next);
    }
    nb::object extra = nb::steal(PyIter_Next(it.ptr()));
    if (extra.is_valid()) {
        PyErr_SetString(PyExc_ValueError, "too many values to unpack (expected 2)");
        raise_current();
    }
    if (PyErr_Occurred()) raise_current();
    return {std::move(items[0]), std::move(items[1])};
}

HandlingException::HandlingException(nb::handle exc)
    : previous_(nb::steal(PyErr_GetHandledException())) {
    PyErr_SetHandledException(exc.ptr());
}

HandlingException::~HandlingException() { PyErr_SetHandledException(previous_.ptr()); }

}  // namespace morvent::native
