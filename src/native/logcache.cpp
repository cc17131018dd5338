// logging.getLogger(name) and Logger.info, answered without running them
// while nothing their answer depends on has changed.
//
// Interpreted code pays for both on every call: getLogger takes logging's
// lock and walks two Python functions, a disabled info() two more, about a
// third of what a command method costs when its work is zero-latency fakes.
// The answers change only when one of the objects they read changes, and
// CPython 3.11 tags every dict state and every type state with a version
// that changes with each change and is never reused (a dict's
// ma_version_tag, a type's tp_version_tag, which setting any attribute of
// the type or of a base drops).  So each answer is kept with the tags of
// everything it was read from, and is used again only while every tag is
// unchanged.  The objects compared by identity are held, so that an address
// cannot come back as another object.
//
// What each answer depends on, and so what is checked on every use:
//
//   logging.getLogger(name), for a logger that exists:
//     - the `logging` object the module found in its globals (a replaced
//       module global fails this), and logging's own dict: getLogger,
//       root, Logger, PlaceHolder (a patched logging.getLogger fails this);
//     - the name object;
//     - root.name: root's type and attribute dict;
//     - Logger.manager: the Logger class's tag;
//     - manager.getLogger and manager.loggerDict: the manager's type and
//       attribute dict (a patched Manager.getLogger fails this);
//     - the loggerDict itself (a logger replaced, or any logger added);
//     - the logger's type (an isinstance(rv, PlaceHolder) that could change).
//
//   logger.info(message) doing nothing:
//     - the logger's type, which must resolve info and isEnabledFor to
//       logging's own (a patched Logger.info, or one set on a subclass, fails
//       this), and the logger's attribute dict (logger.disabled, a replaced
//       _cache, an info set on the instance);
//     - logger._cache, which Manager._clear_cache empties: setLevel on any
//       logger of the hierarchy and logging.disable() both call it;
//     - logging's own dict, where Logger.info reads INFO.
//   logger.info(message) on a logger enabled for INFO, on the same guards:
//     Logger.info's own body runs, self._log(INFO, message, ()), without
//     the two Python frames around it (_log is looked up on the logger as
//     info() looks it up; the record is the same, since findCaller skips
//     logging's own frames).
//
// CPython 3.12 deprecates ma_version_tag and later versions drop it; there
// these caches would hold dict watchers (PyDict_AddWatcher) and type
// watchers (PyType_AddWatcher) instead of tags.
#include "pyglue.hpp"

#include <array>

namespace morvent::native::logcache {

namespace {

// logging's own functions, as the first module to load found them.  Only
// plain functions whose globals are logging's dict and whose __qualname__
// is the expected one are taken: anything else was replaced before we came,
// and then no shortcut is ever taken.
struct Originals {
    nb::object logging_dict;
    nb::object get_logger;          // logging.getLogger
    nb::object manager_get_logger;  // logging.Manager.getLogger
    nb::object info;                // logging.Logger.info
    nb::object is_enabled_for;      // logging.Logger.isEnabledFor
};

// Never destroyed: it holds references past the interpreter's teardown.
Originals& originals = *new Originals();

// dict[key], borrowed, or null when missing.  A look-up that fails (an
// __eq__ of another key that raises) counts as missing: the shortcut is then
// not taken, and the real call meets the same error.
PyObject* get(PyObject* dict, PyObject* key) {
    PyObject* value = PyDict_GetItemWithError(dict, key);
    if (!value && PyErr_Occurred()) PyErr_Clear();
    return value;
}

PyObject* get(PyObject* dict, const char* key) { return get(dict, name(key).ptr()); }

// type.__mro__ look-up, as attribute access does it (no Python code runs).
PyObject* type_member(PyTypeObject* type, const char* key) {
    return _PyType_Lookup(type, name(key).ptr());
}

// The type's version tag, assigned now if it has none; 0 when none can be
// had (the interpreter ran out of tags), and then nothing is kept.
unsigned int type_tag(PyTypeObject* type) {
    if (!PyType_HasFeature(type, Py_TPFLAGS_VALID_VERSION_TAG)) {
        (void)type_member(type, "__class__");  // assigns the tag on the way
    }
    return PyType_HasFeature(type, Py_TPFLAGS_VALID_VERSION_TAG) ? type->tp_version_tag : 0;
}

// An object's type as it was: same type, same tag.
struct TypeGuard {
    PyTypeObject* type = nullptr;  // alive while the guarded object is
    unsigned int tag = 0;

    bool take(PyObject* obj) {
        type = Py_TYPE(obj);
        tag = type_tag(type);
        return tag != 0;
    }
    bool holds(PyObject* obj) const { return Py_TYPE(obj) == type && type->tp_version_tag == tag; }
};

// An object's attribute dict as it was: the same dict, in the same state.
// Asking for the dict makes it real if the object kept its attributes
// inline (as CPython 3.11 does until someone asks); from then on every
// attribute write goes through it and changes its tag.
struct DictGuard {
    PyObject** slot = nullptr;  // where the object keeps its dict
    nb::object dict;
    std::uint64_t version = 0;

    bool take(PyObject* obj) {
        slot = _PyObject_GetDictPtr(obj);
        if (!slot || !*slot || !PyDict_CheckExact(*slot)) {
            PyErr_Clear();
            return false;
        }
        dict = nb::borrow(*slot);
        version = dict_version(*slot);
        return true;
    }
    bool holds() const { return *slot == dict.ptr() && dict_version(dict.ptr()) == version; }
};

// A plain function of logging's own: its globals are logging's dict and its
// __qualname__ is `qualname`.
bool logging_function(PyObject* f, PyObject* logging_dict, const char* qualname) {
    if (!f || !PyFunction_Check(f)) return false;
    auto* function = reinterpret_cast<PyFunctionObject*>(f);
    if (function->func_globals != logging_dict) return false;
    PyObject* actual = function->func_qualname;
    return actual && PyUnicode_Check(actual) &&
           PyUnicode_CompareWithASCIIString(actual, qualname) == 0;
}

}  // namespace

void note_originals(nb::handle logging_module) {
    if (originals.logging_dict.is_valid() || !PyModule_CheckExact(logging_module.ptr())) return;
    PyObject* dict = PyModule_GetDict(logging_module.ptr());
    auto member = [dict](const char* owner, const char* attribute, const char* qualname) {
        PyObject* holder = owner ? get(dict, owner) : nullptr;
        PyObject* f = nullptr;
        if (!owner) {
            f = get(dict, attribute);
        } else if (holder && PyType_Check(holder)) {
            f = type_member(reinterpret_cast<PyTypeObject*>(holder), attribute);
        }
        return logging_function(f, dict, qualname) ? nb::borrow(f) : nb::object();
    };
    originals.get_logger = member(nullptr, "getLogger", "getLogger");
    originals.manager_get_logger = member("Manager", "getLogger", "Manager.getLogger");
    originals.info = member("Logger", "info", "Logger.info");
    originals.is_enabled_for = member("Logger", "isEnabledFor", "Logger.isEnabledFor");
    originals.logging_dict = nb::borrow(dict);
}

// ---------------------------------------------------------------------------
// logging.getLogger(name)

struct LoggerEntry {
    nb::object logging;  // the module
    PyObject* logging_dict = nullptr;
    std::uint64_t logging_version = 0;
    nb::object name;
    nb::object root;
    TypeGuard root_type;
    DictGuard root_attrs;
    nb::object logger_class;
    unsigned int logger_class_tag = 0;
    nb::object manager;
    TypeGuard manager_type;
    DictGuard manager_attrs;
    nb::object logger_dict;
    std::uint64_t logger_dict_version = 0;
    nb::object result;
    TypeGuard result_type;

    bool holds(nb::handle logging_, nb::handle name_) const {
        return logging_.ptr() == logging.ptr() && name_.ptr() == name.ptr() &&
               dict_version(logging_dict) == logging_version && root_type.holds(root.ptr()) &&
               root_attrs.holds() &&
               reinterpret_cast<PyTypeObject*>(logger_class.ptr())->tp_version_tag ==
                   logger_class_tag &&
               manager_type.holds(manager.ptr()) && manager_attrs.holds() &&
               dict_version(logger_dict.ptr()) == logger_dict_version &&
               result_type.holds(result.ptr());
    }

    // Takes note of what logging.getLogger(name_) read to answer `result_`,
    // each tag before what it covers is read.  False when the answer did
    // not come from logging's own functions in the usual way: it is then
    // not kept.
    bool take(nb::handle logging_, nb::handle name_, nb::handle result_) {
        if (!originals.get_logger.is_valid() || !originals.manager_get_logger.is_valid() ||
            !PyModule_CheckExact(logging_.ptr()))
            return false;
        logging = nb::borrow(logging_);
        logging_dict = PyModule_GetDict(logging_.ptr());
        if (logging_dict != originals.logging_dict.ptr()) return false;
        logging_version = dict_version(logging_dict);
        if (get(logging_dict, "getLogger") != originals.get_logger.ptr()) return false;

        // `if not name or isinstance(name, str) and name == root.name`
        name = nb::borrow(name_);
        if (!PyUnicode_CheckExact(name.ptr()) || PyUnicode_GET_LENGTH(name.ptr()) == 0)
            return false;
        PyObject* root_ = get(logging_dict, "root");
        if (!root_) return false;
        root = nb::borrow(root_);
        if (!root_type.take(root_) || root_type.type->tp_getattro != PyObject_GenericGetAttr ||
            type_member(root_type.type, "name") || !root_attrs.take(root_))
            return false;
        PyObject* root_name = get(root_attrs.dict.ptr(), "name");
        if (!root_name || !PyUnicode_CheckExact(root_name) ||
            PyUnicode_Compare(name.ptr(), root_name) == 0)
            return false;

        // `Logger.manager.getLogger(name)`
        PyObject* cls = get(logging_dict, "Logger");
        if (!cls || Py_TYPE(cls) != &PyType_Type) return false;
        logger_class = nb::borrow(cls);
        logger_class_tag = type_tag(reinterpret_cast<PyTypeObject*>(cls));
        if (logger_class_tag == 0) return false;
        PyObject* manager_ = type_member(reinterpret_cast<PyTypeObject*>(cls), "manager");
        if (!manager_) return false;
        manager = nb::borrow(manager_);
        if (!manager_type.take(manager_)) return false;
        PyTypeObject* mt = manager_type.type;
        if (mt->tp_descr_get || mt->tp_getattro != PyObject_GenericGetAttr ||
            type_member(mt, "getLogger") != originals.manager_get_logger.ptr() ||
            type_member(mt, "loggerDict") || !manager_attrs.take(manager_))
            return false;
        PyObject* attrs = manager_attrs.dict.ptr();
        if (get(attrs, "getLogger")) return false;  // set on the instance
        PyObject* loggers = get(attrs, "loggerDict");
        if (!loggers || !PyDict_CheckExact(loggers)) return false;
        logger_dict = nb::borrow(loggers);
        logger_dict_version = dict_version(loggers);

        // `rv = self.loggerDict[name]`, not a PlaceHolder
        if (get(loggers, name.ptr()) != result_.ptr()) return false;
        result = nb::borrow(result_);
        if (!result_type.take(result_.ptr())) return false;
        PyObject* placeholder = get(logging_dict, "PlaceHolder");
        if (!placeholder || !PyType_Check(placeholder)) return false;
        int is_placeholder = PyObject_IsInstance(result_.ptr(), placeholder);
        if (is_placeholder < 0) PyErr_Clear();
        return is_placeholder == 0;
    }
};

nb::object get_logger(LoggerEntry*& entry, nb::handle logging, nb::handle name) {
    if (entry && entry->holds(logging, name)) return entry->result;
    nb::object result = call_method(logging, "getLogger", {name});
    if (!entry) entry = new LoggerEntry();  // one per module scope, never freed
    LoggerEntry fresh;
    *entry = fresh.take(logging, name, result) ? std::move(fresh) : LoggerEntry();
    return result;
}

// ---------------------------------------------------------------------------
// logger.info(message)

namespace {

struct InfoEntry {
    nb::object logger;
    TypeGuard type;
    DictGuard attrs;
    nb::object cache;  // logger._cache; null when `disabled` decided
    std::uint64_t cache_version = 0;
    std::uint64_t logging_version = 0;
    bool does_nothing = false;  // the verdict; an enabled logger is noted too
    PyObject* info_level = nullptr;  // logging.INFO, held by logging's dict

    bool holds(PyObject* obj) const {
        return obj == logger.ptr() && type.holds(obj) && attrs.holds() &&
               (!cache.is_valid() || dict_version(cache.ptr()) == cache_version) &&
               dict_version(originals.logging_dict.ptr()) == logging_version;
    }

    // What Logger.info(obj, message) does, as its own code would find out
    // (`if self.isEnabledFor(INFO)`, which reads `self.disabled`, then
    // `self._cache[INFO]`), taking note of what it read.  False when it
    // cannot tell; does_nothing is then the verdict.
    bool take(PyObject* obj) {
        if (!originals.info.is_valid() || !originals.is_enabled_for.is_valid()) return false;
        if (!type.take(obj)) return false;
        PyTypeObject* tp = type.type;
        if (tp->tp_getattro != PyObject_GenericGetAttr ||
            type_member(tp, "info") != originals.info.ptr() ||
            type_member(tp, "isEnabledFor") != originals.is_enabled_for.ptr() ||
            type_member(tp, "disabled") || type_member(tp, "_cache") || !attrs.take(obj))
            return false;
        PyObject* d = attrs.dict.ptr();
        if (get(d, "info") || get(d, "isEnabledFor")) return false;  // set on the instance
        logging_version = dict_version(originals.logging_dict.ptr());
        PyObject* disabled = get(d, "disabled");
        if (disabled == Py_True) {
            does_nothing = true;
            logger = nb::borrow(obj);
            return true;
        }
        if (disabled != Py_False) return false;
        PyObject* c = get(d, "_cache");
        if (!c || !PyDict_CheckExact(c)) return false;
        cache_version = dict_version(c);
        PyObject* level = get(originals.logging_dict.ptr(), "INFO");
        if (!level || !PyLong_CheckExact(level)) return false;
        PyObject* enabled = get(c, level);
        if (enabled != Py_False && enabled != Py_True) return false;  // not asked yet
        does_nothing = enabled == Py_False;
        info_level = level;
        cache = nb::borrow(c);
        logger = nb::borrow(obj);
        return true;
    }
};

constexpr unsigned kInfoBits = 3;

// Never destroyed, like the originals.
auto& info_entries = *new std::array<InfoEntry, std::size_t{1} << kInfoBits>();

std::size_t info_index(PyObject* logger) {
    auto address = reinterpret_cast<std::uintptr_t>(logger);
    return static_cast<std::size_t>((address * 0x9E3779B97F4A7C15ull) >> (64 - kInfoBits));
}

}  // namespace

Info info_outcome(nb::handle logger, PyObject*& level) {
    InfoEntry& entry = info_entries[info_index(logger.ptr())];
    if (!entry.holds(logger.ptr())) {
        InfoEntry fresh;
        entry = fresh.take(logger.ptr()) ? std::move(fresh) : InfoEntry();
        if (!entry.logger.is_valid()) return Info::unknown;
    }
    if (entry.does_nothing) return Info::nothing;
    if (!entry.info_level) return Info::unknown;
    level = entry.info_level;
    return Info::log;
}

}  // namespace morvent::native::logcache
