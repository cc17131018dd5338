// Shared helpers for the morvent extension modules.
//
// The modules behave like interpreted code: every collaborator is bound in
// the module's globals at load and looked up by name when a function runs,
// values are compared and formatted with Python semantics, and Python
// exceptions pass through unchanged.  Every owning reference is an
// nb::object (or one of its subclasses); nothing here hands out a raw owning
// PyObject*.
#pragma once

#include <nanobind/nanobind.h>

#include <cstring>

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <type_traits>
#include <utility>

namespace morvent::native {

namespace nb = nanobind;

// The global namespace of one extension module.
//
// Holds a reference to the module's dict that is never released, so the
// functions and classes of the module can look names up for as long as the
// process lives, even if the module object itself is dropped from
// sys.modules.  At interpreter shutdown the dict is emptied like any other
// module dict; a lookup then fails with NameError instead of crashing.
//
// A scope is copied into every function that uses it; the copies share one
// State (the global look-up cache and the logger cache), made once and kept
// for the life of the process.
class ModuleScope {
public:
    explicit ModuleScope(nb::handle module);

    // The value bound to `name` in the module dict or in builtins, or an
    // invalid (null) object when neither has it.
    nb::object find(const char* name) const;

    // The value bound to `name`, looked up the way LOAD_GLOBAL does it:
    // the module dict, then builtins; NameError when neither has it.  A
    // repeated look-up is answered from a cache that is valid while neither
    // dict changed (see GlobalCache), so every caller still sees the value
    // bound at the moment of the call.
    inline nb::object global(const char* name) const;

    // Binds `value` as a module global.
    void bind(const char* name, nb::handle value) const;

    // logging.getLogger(__name__), with both names looked up now.  The
    // logger found is kept while nothing that decides getLogger's answer
    // changes (logcache.cpp).
    nb::object logger() const;

    // "https://" + str(Globals.controller_ip) + path
    nb::str controller_url(const char* path) const;

    // `from <module> import <name> [as alias]`, bound as a module global.
    void import_from(const char* module, const char* name,
                     const char* alias = nullptr) const;

    // `import <module>`, bound as a module global.
    void import_module(const char* module) const;

    nb::handle module() const { return module_; }
    nb::handle dict() const { return dict_; }
    nb::str module_name() const;

    struct State;

private:
    // The cached value of the interned `key`, or null when the cache cannot
    // vouch for it.
    inline PyObject* cached_global(PyObject* key) const;
    nb::object global_slow(const char* name, nb::handle key) const;

    nb::handle module_;  // borrowed: the module outlives the objects it defines
    nb::handle dict_;
    State* state_;       // shared by the copies; never freed
};

// One piece of a log line: a C string literal, or any Python object that is
// written in its str() form.
class Piece {
public:
    Piece(const char* text) : text_(text) {}  // NOLINT: implicit on purpose
    Piece(nb::handle value) : value_(value) {}  // NOLINT: implicit on purpose
    template <typename T, typename = std::enable_if_t<std::is_base_of_v<nb::handle, T>>>
    Piece(const T& value) : value_(value) {}  // NOLINT: implicit on purpose

    nb::str str() const;

    // The piece's str() form when it is known without running any code,
    // borrowed: a literal's interned str, an exact str itself, or the str of
    // True, False or None (fixed by the interpreter); null otherwise.
    PyObject* ready() const;

private:
    const char* text_ = nullptr;
    nb::handle value_;
};

// str(value)
nb::str str_of(nb::handle value);

// The concatenation of the str() forms of the pieces.
nb::str text(std::initializer_list<Piece> pieces);

// logger.info(message) / logger.error(message).  The message is always
// built, as `logger.info(f"...")` builds it; a call of a logging.Logger's own
// info() that is known to do nothing (the logger is not enabled for INFO,
// see logcache.cpp) is left out.
void log_info(nb::handle logger, std::initializer_list<Piece> pieces);
void log_error(nb::handle logger, std::initializer_list<Piece> pieces);

namespace logcache {

// Takes note of logging's own getLogger, Manager.getLogger, Logger.info and
// Logger.isEnabledFor, as the module being loaded finds them; the shortcuts
// apply only to these functions.  Called once per module, at load.
void note_originals(nb::handle logging_module);

// What logger.info(message) is known to do, when `logger` is a
// logging.Logger whose info and isEnabledFor are logging's own and
// isEnabledFor(INFO) answers from what the logger holds:
//   nothing  - it returns at once;
//   log      - it calls self._log(INFO, message, ()), and `level` is INFO
//              as logging's dict holds it;
//   unknown  - call it.
enum class Info { unknown, nothing, log };
Info info_outcome(nb::handle logger, PyObject*& level);

}  // namespace logcache

// Python comparisons and truth tests; an exception raised by __eq__ or
// __bool__ propagates as nb::python_error.
inline bool equals(nb::handle a, nb::handle b);    // a == b, as the operator
inline bool not_equals(nb::handle a, nb::handle b) { return !equals(a, b); }
inline bool is_true(nb::handle value);             // bool(value)
inline bool equals_false(nb::handle v);
inline bool equals_true(nb::handle v);
inline bool equals_none(nb::handle v);

// container[key], raising the container's own error (KeyError, TypeError,
// IndexError) when the lookup fails.
inline nb::object item(nb::handle container, nb::handle key);
inline nb::object item(nb::handle container, const char* key);
nb::object item(nb::handle container, Py_ssize_t index);

// container[key] = value
void set_item(nb::handle container, const char* key, nb::handle value);

// len(value)
Py_ssize_t length(nb::handle value);

// A dict built from (key, value) pairs, keys in the order given.
using Field = std::pair<const char*, nb::handle>;
nb::dict payload(std::initializer_list<Field> fields);

// type(obj).__name__
nb::str class_name(nb::handle obj);

// Builds a genuine Python class, type(name, bases, namespace), whose
// namespace holds only __module__ and __qualname__.  Add the members with
// add_member afterwards, in order of definition, so that they can be made
// with nb::scope(cls) and get "Class.member" as their __qualname__.
nb::object make_class(const ModuleScope& scope, const char* name, nb::tuple bases);

// setattr(cls, name, member)
void add_member(nb::handle cls, const char* name, nb::handle member);

// A parameter that takes any object, None included, as in a Python def
// (nanobind refuses None for an argument unless told otherwise).
inline auto param(const char* name) { return nb::arg(name).none(); }

// Installs a method made from `f` (first parameter: nb::handle self) on `cls`
// under `name`, with `cls` as its scope so that its __qualname__ reads
// "Class.name".
//
// When the class already resolves `name` -- a method inherited from a Python
// base, such as Memento.restore, or object.__init__ -- nanobind would take
// that object for an overload chain to extend, and stop the process because
// it is not one of its own functions.  A scope-less nanobind placeholder put
// under the name first makes nanobind start a fresh function, which then
// replaces the placeholder; the base's method stays untouched.
template <typename F, typename... Extra>
void add_method(nb::handle cls, const char* name, F&& f, const Extra&... extra) {
    if (nb::hasattr(cls, name)) {
        add_member(cls, name, nb::cpp_function([](nb::handle) {}, nb::is_method(), nb::name(name)));
    }
    add_member(cls, name,
               nb::cpp_function(std::forward<F>(f), nb::is_method(), nb::scope(cls),
                                nb::name(name), extra...));
}

// `raise exc`: raises an exception instance, or instantiates and raises an
// exception class; anything else is the interpreter's TypeError.
[[noreturn]] void raise_object(nb::handle exc);

// Python's `a <op> b` (op is Py_EQ, Py_NE, Py_GE, ...) as a truth value,
// with no identity shortcut: `x == x` asks x.__eq__, as the operator does.
inline bool compare(nb::handle a, nb::handle b, int op);

// The value bound to `name` in the module dict or in builtins, or an
// invalid (null) object when neither has it.
nb::object find_global(const ModuleScope& scope, const char* name);

// `from <module> import <name>` at the moment of the call, bound nowhere: what
// a function-local import does, for what a module does not bind at load.
nb::object import_attr(const char* module, const char* name);

// `a, b = value`: exactly two items, with the interpreter's own errors
// ("not enough values to unpack (expected 2, got 1)", ...).
std::pair<nb::object, nb::object> unpack_pair(nb::handle value);

// Makes `exc` the exception being handled (what sys.exc_info() and
// traceback.print_exc() see, and what a new exception gets as __context__)
// for the life of the guard, as an `except ... as e:` block does; the
// previous one is restored on destruction.
class HandlingException {
public:
    explicit HandlingException(nb::handle exc);
    ~HandlingException();
    HandlingException(const HandlingException&) = delete;
    HandlingException& operator=(const HandlingException&) = delete;

private:
    nb::object previous_;
};

// ---------------------------------------------------------------------------
// bench: interned names, attribute access and calls
//
// The interpreter reaches globals, attributes, methods and keywords through
// constant names whose hash is known and whose lookups it caches.  These
// helpers give C++ the cheap half of that: every name is an interned str
// made once, so a lookup costs the lookup and nothing else.  What a name
// denotes is still looked up on every call; only the name is kept.

namespace names {

// One slot of the table in front of the interned names (pyglue.cpp).  Only
// texts of this shared object's read-only segment (its literals) get a
// slot: their content cannot change while the code that passes them exists,
// so the address alone identifies the text.  Any other text is found by its
// content on every use.  Two pointers a slot, four slots a cache line: the
// table is touched on every name a call uses, so it is kept small.
struct Slot {
    const char* address = nullptr;
    PyObject* value = nullptr;  // kept for the life of the process
};

// Two-way set-associative: a text may sit in its slot or the neighbour,
// which share a cache line.
constexpr unsigned kSlotBits = 11;
alignas(64) extern Slot slots[std::size_t{1} << kSlotBits];

inline std::size_t slot_index(const char* text) {
    auto address = reinterpret_cast<std::uintptr_t>(text);
    return static_cast<std::size_t>((address * 0x9E3779B97F4A7C15ull) >> (64 - kSlotBits));
}

nb::handle lookup(const char* text);  // every case but the fast one

}  // namespace names

// The interned str whose text is `text` (UTF-8): a name, a dict key or a
// piece of literal text.  Made on first use and kept for the life of the
// process, so the handle is borrowed and always valid.  Every distinct text
// is kept forever: pass literals and other fixed texts only, never text
// built at run time.
inline nb::handle name(const char* text) {
    std::size_t i = names::slot_index(text);
    const names::Slot& first = names::slots[i];
    if (first.address == text) return first.value;
    const names::Slot& second = names::slots[i ^ 1];
    if (second.address == text) return second.value;
    return names::lookup(text);
}

// ---------------------------------------------------------------------------
// bench: module globals
//
// LOAD_GLOBAL keeps, per call site, the value it found together with the
// version tags of the module dict and of builtins; while both tags are
// unchanged the value is still the one bound.  CPython 3.11 gives every
// dict a version tag (ma_version_tag) that changes with every change of the
// dict and is never reused, so a C++ function can do the same.  A value is
// held borrowed: a dict whose tag is unchanged still holds it.
//
// CPython 3.12 deprecates ma_version_tag and later versions drop it; there
// the cache would register a dict watcher (PyDict_AddWatcher) on the module
// dict and on builtins and drop its entries when either changes.

inline std::uint64_t dict_version(PyObject* dict) {
    return reinterpret_cast<PyDictObject*>(dict)->ma_version_tag;
}

struct GlobalCache {
    struct Slot {
        PyObject* key = nullptr;            // the interned name
        std::uint64_t version = 0;          // the module dict's tag when filled
        PyObject* builtins = nullptr;       // null: found in the module dict
        std::uint64_t builtins_version = 0;
        PyObject* value = nullptr;          // borrowed from the dict that holds it
    };
    static constexpr unsigned kBits = 7;
    Slot slots[std::size_t{1} << kBits];

    static std::size_t index(PyObject* key) {
        auto address = reinterpret_cast<std::uintptr_t>(key);
        return static_cast<std::size_t>((address * 0x9E3779B97F4A7C15ull) >> (64 - kBits));
    }
};

namespace logcache {
struct LoggerEntry;  // logcache.cpp

// logging.getLogger(name) through `logging`, the module found in a scope's
// globals.  `entry` keeps the answer while nothing that decides it changes.
nb::object get_logger(LoggerEntry*& entry, nb::handle logging, nb::handle name);
}  // namespace logcache

struct ModuleScope::State {
    GlobalCache globals;
    logcache::LoggerEntry* logger = nullptr;  // logging.getLogger(__name__), when known
};

inline PyObject* ModuleScope::cached_global(PyObject* key) const {
    const GlobalCache::Slot& slot = state_->globals.slots[GlobalCache::index(key)];
    if (slot.key != key || slot.version != dict_version(dict_.ptr())) return nullptr;
    if (!slot.builtins) return slot.value;
    PyObject* builtins = PyEval_GetBuiltins();  // borrowed
    if (builtins == slot.builtins && dict_version(builtins) == slot.builtins_version)
        return slot.value;
    return nullptr;
}

inline nb::object ModuleScope::global(const char* name) const {
    nb::handle key = native::name(name);
    if (PyObject* value = cached_global(key.ptr())) return nb::borrow(value);
    return global_slow(name, key);
}

// obj.<attribute>
nb::object attr(nb::handle obj, const char* attribute);

// obj.<attribute> = value
void set_attr(nb::handle obj, const char* attribute, nb::handle value);

// fn(*args, **keywords), the keyword names given as literals, in order.
nb::object call(nb::handle fn, std::initializer_list<nb::handle> args = {},
                std::initializer_list<Field> keywords = {});

// obj.<method>(*args, **keywords), looked up and called the way the
// interpreter calls a method: no bound method object is made on the way.
nb::object call_method(nb::handle obj, const char* method,
                       std::initializer_list<nb::handle> args = {},
                       std::initializer_list<Field> keywords = {});

// ---------------------------------------------------------------------------
// bench: functions of a module called from the module itself
//
// A function of the module is a nanobind function: called from Python, it
// binds and checks its arguments and raises its own TypeErrors.  When one
// function of the module calls another through its module global (which a
// test may have replaced by anything), native::call recognises the object,
// binds the arguments itself as a Python def binds them (by position, then
// by keyword, then the defaults), and runs the C++ function without going
// through nanobind's dispatcher.  Arguments it cannot bind (too many, an
// unknown or repeated keyword, a missing one) go through nanobind, which
// raises the TypeError it always raised.

namespace direct {

constexpr std::size_t kMaxParams = 10;

struct Entry {
    nb::object function;                 // the nanobind function, held
    std::size_t size = 0;                // its parameters
    PyObject* names[kMaxParams] = {};    // interned
    nb::object defaults[kMaxParams];     // null: required
    nb::object (*run)(const Entry&, PyObject* const* bound) = nullptr;
    virtual ~Entry() = default;
};

constexpr unsigned kBits = 6;
extern const Entry* table[std::size_t{1} << kBits];

inline std::size_t index(PyObject* function) {
    auto address = reinterpret_cast<std::uintptr_t>(function);
    return static_cast<std::size_t>((address * 0x9E3779B97F4A7C15ull) >> (64 - kBits));
}

// The entry of `function`, or null when it is not one of these functions.
inline const Entry* find(PyObject* function) {
    for (std::size_t i = index(function);; i = (i + 1) & ((std::size_t{1} << kBits) - 1)) {
        const Entry* entry = table[i];
        if (!entry || entry->function.ptr() == function) return entry;
    }
}

void note(const Entry* entry);

// Fills `bound` (entry.size slots, borrowed) from the call's arguments;
// false when nanobind has to deal with them.
bool bind(const Entry& entry, std::initializer_list<nb::handle> args,
          std::initializer_list<Field> keywords, PyObject** bound);

// A C++ exception other than a Python error becomes the Python error that
// nanobind's dispatcher would have made of it.
[[noreturn]] void translate_cpp_exception();

template <typename T, typename = void>
struct has_default : std::false_type {};
template <typename T>
struct has_default<T, std::void_t<decltype(std::declval<T>().value)>> : std::true_type {};

template <typename F, std::size_t N>
struct Function final : Entry {
    explicit Function(F f) : callable(std::move(f)) {}
    F callable;

    template <std::size_t... I>
    static nb::object invoke(const Entry& entry, PyObject* const* bound,
                             std::index_sequence<I...>) {
        const F& f = static_cast<const Function&>(entry).callable;
        try {
            using Result = decltype(f(nb::handle(bound[I])...));
            if constexpr (std::is_void_v<Result>) {
                f(nb::handle(bound[I])...);
                return nb::none();
            } else {
                return nb::object(f(nb::handle(bound[I])...));
            }
        } catch (nb::python_error&) {
            throw;
        } catch (...) {
            translate_cpp_exception();
        }
    }
    static nb::object run_it(const Entry& entry, PyObject* const* bound) {
        return invoke(entry, bound, std::make_index_sequence<N>());
    }
};

}  // namespace direct

// A function of the module, made by nanobind from `f` (whose parameters are
// all nb::handle) with `params` (native::param, with or without a default),
// and noted for direct calls from the module's own functions.
template <typename F, typename... Params>
nb::object def(const ModuleScope& scope, const char* name, F f, const Params&... params) {
    constexpr std::size_t n = sizeof...(Params);
    static_assert(n <= direct::kMaxParams, "native::def: too many parameters");
    nb::object function = nb::cpp_function(f, nb::scope(scope.module()), nb::name(name), params...);
    // Kept for the life of the process, like the function itself.
    auto* entry = new direct::Function<F, n>(std::move(f));
    entry->function = function;
    entry->size = n;
    entry->run = &direct::Function<F, n>::run_it;
    std::size_t i = 0;
    auto note_param = [&](const auto& param) {
        entry->names[i] = native::name(param.name_).ptr();
        if constexpr (direct::has_default<std::decay_t<decltype(param)>>::value)
            entry->defaults[i] = param.value;
        ++i;
    };
    (note_param(params), ...);
    direct::note(entry);
    return function;
}

// `for x in iterable`, as a range: for (nb::handle x : native::iterate(obj)).
// A list is walked the way the interpreter walks it, without an iterator
// object; anything else through iter() and next().  Errors raised while
// iterating propagate as nb::python_error.
class Items {
public:
    // Holds its own reference, so that a temporary passed in lives as long
    // as the loop.
    explicit Items(nb::handle iterable) : iterable_(nb::borrow(iterable)) {}

    class iterator {
    public:
        explicit iterator(nb::handle iterable);
        iterator() = default;  // the end
        nb::handle operator*() const { return current_; }
        inline iterator& operator++();
        bool operator!=(const iterator& /*end*/) const { return current_.is_valid(); }

    private:
        iterator& next();     // through the iterator object
        nb::object list_;     // when iterating a list
        Py_ssize_t index_ = 0;
        nb::object iter_;     // otherwise
        nb::object current_;  // the item, kept alive while the loop body runs
    };

    iterator begin() const { return iterator(iterable_); }
    iterator end() const { return iterator(); }

private:
    nb::object iterable_;
};

inline Items iterate(nb::handle iterable) { return Items(iterable); }

// ---------------------------------------------------------------------------
// bench: the fast paths of the helpers above, inline because they run per
// item in the loops; the general cases stay out of line in pyglue.cpp.

namespace slow {
bool is_true(PyObject* value);
bool compare(PyObject* a, PyObject* b, int op);
nb::object item(nb::handle container, nb::handle key);
}  // namespace slow

inline bool is_true(nb::handle value) {
    if (value.ptr() == Py_True) return true;
    if (value.ptr() == Py_False || value.ptr() == Py_None) return false;
    return slow::is_true(value.ptr());
}

// a == b for two exact strs, decided as str's own __eq__ decides it (which
// no one can change on an exact str): the same characters, and a str is
// always stored in the narrowest kind its characters allow.
// (Out of line: inlined next to a constant True or False, GCC takes them
// for strs and warns.)
bool str_equal(PyObject* a, PyObject* b);

inline bool compare(nb::handle a, nb::handle b, int op) {
    PyObject* x = a.ptr();
    PyObject* y = b.ptr();
    if ((op == Py_EQ || op == Py_NE) && PyUnicode_CheckExact(x) && PyUnicode_CheckExact(y))
        return str_equal(x, y) == (op == Py_EQ);
    return slow::compare(x, y, op);
}

// dict[key] for an exact dict and an interned exact str key, borrowed, or
// null when `dict` is not an exact dict or has no such key.  A walk over
// many dicts built by the same code (records of one answer) finds the key at
// the position where it was in the previous dict, confirmed by the key
// there being this str or an equal one; anything else takes the dict's own
// look-up.  Errors of the look-up propagate as nb::python_error.
class DictHint {
public:
    PyObject* find(PyObject* dict, PyObject* key);

private:
    Py_ssize_t position_ = 0;
};

inline bool equals(nb::handle a, nb::handle b) { return compare(a, b, Py_EQ); }

// A comparison with a singleton never takes the str path.  True, False and
// None equal only themselves (bool and NoneType cannot be subclassed or
// changed), so for them identity is the answer; any other value is asked.
inline bool equals_singleton(PyObject* v, PyObject* singleton) {
    if (v == Py_True || v == Py_False || v == Py_None) return v == singleton;
    return slow::compare(v, singleton, Py_EQ);
}
inline bool equals_false(nb::handle v) { return equals_singleton(v.ptr(), Py_False); }
inline bool equals_true(nb::handle v) { return equals_singleton(v.ptr(), Py_True); }
inline bool equals_none(nb::handle v) { return equals_singleton(v.ptr(), Py_None); }

inline nb::object item(nb::handle container, nb::handle key) {
    if (PyDict_CheckExact(container.ptr())) {
        // BINARY_SUBSCR's own shortcut for an exact dict; a miss goes the
        // long way round, which raises the KeyError.
        PyObject* value = PyDict_GetItemWithError(container.ptr(), key.ptr());  // borrowed
        if (value) return nb::borrow(value);
    }
    return slow::item(container, key);
}

inline nb::object item(nb::handle container, const char* key) {
    return item(container, name(key));
}

inline Items::iterator& Items::iterator::operator++() {
    if (list_.is_valid()) {
        // listiter's steps: the length is read anew each time, so a list
        // that the loop body changes is walked as the interpreter walks it.
        if (index_ < PyList_GET_SIZE(list_.ptr())) {
            current_ = nb::borrow(PyList_GET_ITEM(list_.ptr(), index_++));
        } else {
            current_ = nb::object();
            list_ = nb::object();
        }
        return *this;
    }
    return next();
}

// `needle in container`, with the interpreter's errors.
inline bool contains(nb::handle container, nb::handle needle) {
    int found = PySequence_Contains(container.ptr(), needle.ptr());
    if (found < 0) throw nb::python_error();
    return found != 0;
}

// bool(s.startswith(prefix)): str's own test when both are exact strs (no
// one can change the methods of an exact str), the method call otherwise.
inline bool startswith(nb::handle s, nb::handle prefix) {
    if (PyUnicode_CheckExact(s.ptr()) && PyUnicode_CheckExact(prefix.ptr())) {
        Py_ssize_t found = PyUnicode_Tailmatch(s.ptr(), prefix.ptr(), 0, PY_SSIZE_T_MAX, -1);
        if (found < 0) throw nb::python_error();
        return found == 1;
    }
    return is_true(call_method(s, "startswith", {prefix}));
}

}  // namespace morvent::native
