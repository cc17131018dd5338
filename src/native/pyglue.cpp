#include "pyglue.hpp"

#include <cstdint>
#include <cstring>
#include <string_view>
#include <unordered_map>

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
    nb::object value = find_global(*this, name);
    if (value.is_valid()) return value;
    PyErr_Format(PyExc_NameError, "name '%s' is not defined", name);
    raise_current();
}

void ModuleScope::bind(const char* name, nb::handle value) const {
    if (PyDict_SetItem(dict_.ptr(), native::name(name).ptr(), value.ptr()) != 0) raise_current();
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
    if (text_) return nb::borrow<nb::str>(name(text_));
    return str_of(value_);
}

nb::str str_of(nb::handle value) {
    return nb::steal<nb::str>(check(PyObject_Str(value.ptr())).release());
}

nb::str text(std::initializer_list<Piece> pieces) {
    if (pieces.size() == 1) return pieces.begin()->str();
    nb::object parts = check(PyTuple_New(static_cast<Py_ssize_t>(pieces.size())));
    Py_ssize_t i = 0;
    for (const Piece& piece : pieces) PyTuple_SET_ITEM(parts.ptr(), i++, piece.str().release().ptr());
    return nb::steal<nb::str>(check(PyUnicode_Join(name("").ptr(), parts.ptr())).release());
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
    return item(container, name(key));
}

nb::object item(nb::handle container, Py_ssize_t index) {
    return item(container, nb::int_(index));
}

void set_item(nb::handle container, const char* key, nb::handle value) {
    if (PyObject_SetItem(container.ptr(), name(key).ptr(), value.ptr()) != 0) raise_current();
}

Py_ssize_t length(nb::handle value) {
    Py_ssize_t n = PyObject_Length(value.ptr());
    if (n < 0) raise_current();
    return n;
}

nb::dict payload(std::initializer_list<Field> fields) {
    nb::dict result;
    for (const Field& field : fields) {
        if (PyDict_SetItem(result.ptr(), name(field.first).ptr(), field.second.ptr()) != 0)
            raise_current();
    }
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
    // LOAD_GLOBAL's order: the module dict, then builtins.
    nb::handle key = native::name(name);
    PyObject* value = PyDict_GetItemWithError(scope.dict().ptr(), key.ptr());  // borrowed
    if (!value && !PyErr_Occurred()) {
        PyObject* builtins = PyEval_GetBuiltins();  // borrowed
        if (builtins) value = PyDict_GetItemWithError(builtins, key.ptr());
    }
    if (!value && PyErr_Occurred()) raise_current();
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

// ---------------------------------------------------------------------------
// bench: interned names
//
// Two levels.  The texts are kept in `interned_by_text`, keyed by their
// content, one immortal interned str each.  In front of it sits a small
// direct-mapped table keyed by the address of the C string: call sites pass
// literals, whose address is fixed, so a lookup is a multiply, a load and a
// short strncmp.  A hit is confirmed by content, so an address that now holds
// other text merely misses.  Everything runs under the GIL.

namespace {

struct NameSlot {
    const char* address = nullptr;
    const char* utf8 = nullptr;  // the str's own UTF-8 text, as long as it lives
    std::size_t size = 0;
    PyObject* value = nullptr;   // borrowed from interned_by_text
};

constexpr unsigned kNameSlotBits = 9;
NameSlot name_slots[std::size_t{1} << kNameSlotBits];

// Never destroyed: the strings outlive the interpreter's own teardown, and
// running a destructor after it would touch freed memory.
auto& interned_by_text = *new std::unordered_map<std::string_view, PyObject*>();

// The entry for `text`, made on first use.
const std::pair<const std::string_view, PyObject*>& intern_text(std::string_view text) {
    auto found = interned_by_text.find(text);
    if (found != interned_by_text.end()) return *found;
    PyObject* str = PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
    if (!str) raise_current();
    PyUnicode_InternInPlace(&str);
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(str, &size);
    if (!utf8) {
        Py_DECREF(str);
        raise_current();
    }
    // Keyed by the str's own text, which lives as long as the str: forever.
    return *interned_by_text.emplace(std::string_view(utf8, static_cast<std::size_t>(size)), str)
                .first;
}

}  // namespace

nb::handle name(const char* text) {
    auto address = reinterpret_cast<std::uintptr_t>(text);
    NameSlot& slot = name_slots[(address * 0x9E3779B97F4A7C15ull) >> (64 - kNameSlotBits)];
    if (slot.address == text && std::strncmp(slot.utf8, text, slot.size) == 0 &&
        text[slot.size] == '\0') {
        return slot.value;
    }
    const auto& entry = intern_text(text);
    slot = NameSlot{text, entry.first.data(), entry.first.size(), entry.second};
    return entry.second;
}

}  // namespace morvent::native
