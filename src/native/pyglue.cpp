#include "pyglue.hpp"

#include <algorithm>
#include <new>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string_view>
#include <unordered_map>

#include <link.h>

// The layout of a dict's key table, to read an entry at a known position.
// CPython 3.11's own; other versions take the dict's look-up every time.
#if PY_VERSION_HEX >= 0x030B0000 && PY_VERSION_HEX < 0x030C0000
#define MORVENT_DICT_LAYOUT 1
#define Py_BUILD_CORE 1
#include <internal/pycore_dict.h>
#undef Py_BUILD_CORE
#endif

namespace morvent::native {

namespace {

[[noreturn]] void raise_current() { throw nb::python_error(); }

nb::object check(PyObject* result) {
    if (!result) raise_current();
    return nb::steal(result);
}

}  // namespace

ModuleScope::ModuleScope(nb::handle module) : module_(module), state_(new State()) {
    PyObject* dict = PyModule_GetDict(module.ptr());  // borrowed
    if (!dict) raise_current();
    // Kept for the life of the process on purpose, like the state; see the
    // header.
    dict_ = nb::handle(dict).inc_ref();
}

nb::object ModuleScope::global_slow(const char* name, nb::handle /*key*/) const {
    nb::object value = find(name);
    if (value.is_valid()) return value;
    PyErr_Format(PyExc_NameError, "name '%s' is not defined", name);
    raise_current();
}

nb::object ModuleScope::find(const char* name) const {
    nb::handle key = native::name(name);
    if (PyObject* cached = cached_global(key.ptr())) return nb::borrow(cached);
    // LOAD_GLOBAL's order: the module dict, then builtins.  Each tag is read
    // before its look-up: should the look-up itself change the dict (an
    // __eq__ of some other key), the entry is stale from the start and the
    // next use looks again.
    std::uint64_t version = dict_version(dict_.ptr());
    PyObject* value = PyDict_GetItemWithError(dict_.ptr(), key.ptr());  // borrowed
    PyObject* builtins = nullptr;
    std::uint64_t builtins_version = 0;
    if (!value) {
        if (PyErr_Occurred()) raise_current();
        builtins = PyEval_GetBuiltins();  // borrowed
        if (!builtins) return nb::object();
        if (PyDict_CheckExact(builtins)) builtins_version = dict_version(builtins);
        value = PyDict_GetItemWithError(builtins, key.ptr());
        if (!value) {
            if (PyErr_Occurred()) raise_current();
            return nb::object();
        }
        if (!PyDict_CheckExact(builtins)) return nb::borrow(value);  // no tag to go by
    }
    state_->globals.slots[GlobalCache::index(key.ptr())] =
        GlobalCache::Slot{key.ptr(), version, builtins, builtins_version, value};
    return nb::borrow(value);
}

void ModuleScope::bind(const char* name, nb::handle value) const {
    if (PyDict_SetItem(dict_.ptr(), native::name(name).ptr(), value.ptr()) != 0) raise_current();
}

nb::str ModuleScope::module_name() const {
    return nb::str(global("__name__"));
}

nb::object ModuleScope::logger() const {
    nb::object logging = global("logging");
    nb::object name = global("__name__");
    return logcache::get_logger(state_->logger, logging, name);
}

nb::str ModuleScope::controller_url(const char* path) const {
    nb::object ip = attr(global("Globals"), "controller_ip");
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
    // An exact str is its own str(), as in an f-string.
    if (PyUnicode_CheckExact(value.ptr())) return nb::borrow<nb::str>(value);
    return nb::steal<nb::str>(check(PyObject_Str(value.ptr())).release());
}

PyObject* Piece::ready() const {
    if (text_) return name(text_).ptr();
    PyObject* value = value_.ptr();
    if (PyUnicode_CheckExact(value)) return value;
    if (value == Py_True) return name("True").ptr();
    if (value == Py_False) return name("False").ptr();
    if (value == Py_None) return name("None").ptr();
    return nullptr;
}

namespace {

constexpr std::size_t kMaxPieces = 16;

// One new str holding the strs `parts`, in order, as BUILD_STRING makes it.
nb::str join(PyObject* const* parts, std::size_t n) {
    Py_ssize_t size = 0;
    Py_UCS4 widest = 0;
    for (std::size_t i = 0; i < n; ++i) {
        size += PyUnicode_GET_LENGTH(parts[i]);
        widest = std::max(widest, PyUnicode_MAX_CHAR_VALUE(parts[i]));
    }
    nb::object result = check(PyUnicode_New(size, widest));
    if (PyUnicode_KIND(result.ptr()) == PyUnicode_1BYTE_KIND) {
        // A str is stored in the narrowest kind its characters allow, so
        // every piece of a one-byte result is one-byte too: copy the bytes.
        auto* out = static_cast<Py_UCS1*>(PyUnicode_DATA(result.ptr()));
        for (std::size_t i = 0; i < n; ++i) {
            auto length = static_cast<std::size_t>(PyUnicode_GET_LENGTH(parts[i]));
            std::memcpy(out, PyUnicode_DATA(parts[i]), length);
            out += length;
        }
        return nb::steal<nb::str>(result.release());
    }
    Py_ssize_t at = 0;
    for (std::size_t i = 0; i < n; ++i) {
        Py_ssize_t length = PyUnicode_GET_LENGTH(parts[i]);
        if (PyUnicode_CopyCharacters(result.ptr(), at, parts[i], 0, length) < 0) raise_current();
        at += length;
    }
    return nb::steal<nb::str>(result.release());
}

// text() when some piece needs its __str__: every piece's str() form, in
// order (so that the __str__ run in order), then the join.
nb::str text_of_objects(std::initializer_list<Piece> pieces) {
    if (pieces.size() == 1) return pieces.begin()->str();
    nb::object held[kMaxPieces];  // null until set
    PyObject* parts[kMaxPieces];
    std::size_t n = 0;
    for (const Piece& piece : pieces) {
        held[n] = piece.str();
        parts[n] = held[n].ptr();
        ++n;
    }
    return join(parts, n);
}

}  // namespace

nb::str text(std::initializer_list<Piece> pieces) {
    if (pieces.size() > kMaxPieces)
        throw std::length_error("morvent: too many pieces for native::text");
    // Literals and strs are their own str(): no code runs, nothing to hold.
    PyObject* parts[kMaxPieces];
    std::size_t n = 0;
    for (const Piece& piece : pieces) {
        PyObject* ready = piece.ready();
        if (!ready) return text_of_objects(pieces);
        parts[n++] = ready;
    }
    if (n == 1) return nb::borrow<nb::str>(parts[0]);
    return join(parts, n);
}

namespace {

// `()`, kept for the life of the process.
nb::handle no_args() {
    static nb::handle empty = nb::tuple().release();
    return empty;
}

}  // namespace

void log_info(nb::handle logger, std::initializer_list<Piece> pieces) {
    nb::str message = text(pieces);
    PyObject* level = nullptr;
    switch (logcache::info_outcome(logger, level)) {
        case logcache::Info::nothing:
            return;
        case logcache::Info::log:
            // Logger.info's own body.  The record is the same: the caller's
            // frame is found past logging's own frames either way.
            call_method(logger, "_log", {level, message, no_args()});
            return;
        case logcache::Info::unknown:
            call_method(logger, "info", {message});
            return;
    }
}

void log_error(nb::handle logger, std::initializer_list<Piece> pieces) {
    call_method(logger, "error", {text(pieces)});
}

bool slow::is_true(PyObject* value) {
    int result = PyObject_IsTrue(value);
    if (result < 0) raise_current();
    return result == 1;
}

nb::object slow::item(nb::handle container, nb::handle key) {
    if (PyErr_Occurred()) raise_current();  // from the dict fast path
    return check(PyObject_GetItem(container.ptr(), key.ptr()));
}

bool str_equal(PyObject* a, PyObject* b) {
    if (a == b) return true;
    Py_ssize_t length = PyUnicode_GET_LENGTH(a);
    if (length != PyUnicode_GET_LENGTH(b) || PyUnicode_KIND(a) != PyUnicode_KIND(b)) return false;
    return std::memcmp(PyUnicode_DATA(a), PyUnicode_DATA(b),
                       static_cast<std::size_t>(length) * PyUnicode_KIND(a)) == 0;
}

PyObject* DictHint::find(PyObject* dict, PyObject* key) {
    if (!PyDict_CheckExact(dict)) return nullptr;
#ifdef MORVENT_DICT_LAYOUT
    // In a table whose keys are all exact strs no two keys are equal, so the
    // entry holding this key (or an equal str) is the one any look-up finds.
    // A deleted entry has no key; a table of the combined kind holds its
    // values in its entries.
    auto* d = reinterpret_cast<PyDictObject*>(dict);
    auto entries = [](PyDictKeysObject* keys) {
        return reinterpret_cast<PyDictUnicodeEntry*>(
            keys->dk_indices + (std::size_t{1} << keys->dk_log2_index_bytes));
    };
    // The key itself, or an equal str (a record decoded from JSON holds
    // keys of its own); a key in a dict always has its hash stored.
    auto same = [key](PyObject* k) {
        return k == key ||
               (k && reinterpret_cast<PyASCIIObject*>(k)->hash ==
                         reinterpret_cast<PyASCIIObject*>(key)->hash &&
                str_equal(k, key));
    };
    PyDictKeysObject* keys = d->ma_keys;
    bool plain = keys->dk_kind == DICT_KEYS_UNICODE && !d->ma_values;
    if (plain && position_ < keys->dk_nentries) {
        PyDictUnicodeEntry& entry = entries(keys)[position_];
        if (entry.me_value && same(entry.me_key)) return entry.me_value;
    }
#endif
    PyObject* value = PyDict_GetItemWithError(dict, key);  // borrowed
    if (!value) {
        if (PyErr_Occurred()) raise_current();
        return nullptr;
    }
#ifdef MORVENT_DICT_LAYOUT
    // Where it was, for the next dict (the look-up above ran no Python code:
    // a table of this kind compares exact strs only).
    keys = d->ma_keys;
    if (plain && keys->dk_kind == DICT_KEYS_UNICODE && !d->ma_values) {
        Py_ssize_t n = std::min<Py_ssize_t>(keys->dk_nentries, 32);
        PyDictUnicodeEntry* all = entries(keys);
        for (Py_ssize_t i = 0; i < n; ++i) {
            if (same(all[i].me_key)) {
                position_ = i;
                break;
            }
        }
    }
#endif
    return value;
}

nb::object item(nb::handle container, Py_ssize_t index) {
    PyObject* c = container.ptr();
    if (PyList_CheckExact(c) && index >= 0 && index < PyList_GET_SIZE(c))
        return nb::borrow(PyList_GET_ITEM(c, index));
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
    return nb::str(attr(nb::handle(reinterpret_cast<PyObject*>(Py_TYPE(obj.ptr()))), "__name__"));
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

namespace {

// An object whose == no one can change: None, True or False.
bool singleton(PyObject* v) { return v == Py_None || v == Py_True || v == Py_False; }

}  // namespace

bool slow::compare(PyObject* x, PyObject* y, int op) {
    if (op == Py_EQ || op == Py_NE) {
        // Exact strs, None, True and False keep their own __eq__: between
        // one of them and another of these kinds (two strs are handled
        // inline) each side answers NotImplemented, and == falls back to
        // identity.  Anything else asks the objects.
        bool x_plain = PyUnicode_CheckExact(x) || singleton(x);
        bool y_plain = PyUnicode_CheckExact(y) || singleton(y);
        if (x_plain && y_plain && !(PyUnicode_CheckExact(x) && PyUnicode_CheckExact(y)))
            return (op == Py_EQ) == (x == y);
    }
    return native::is_true(check(PyObject_RichCompare(x, y, op)));
}

nb::object find_global(const ModuleScope& scope, const char* name) { return scope.find(name); }

nb::object import_attr(const char* module, const char* name) {
    nb::object mod = check(PyImport_ImportModule(module));
    return check(PyObject_GetAttrString(mod.ptr(), name));
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
// bench: interned names, attribute access and calls
//
// Two levels.  The texts are kept in `interned_by_text`, keyed by their
// content, one immortal interned str each.  In front of it sits a small
// table keyed by the address of the C string, so that the usual case -- a
// literal at a call site -- costs a multiply, a load and a short compare.
// Every hit is confirmed by content, so memory reused for another text
// merely misses.  Everything runs under the GIL.

namespace {

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

// The keyword names of a call, as the tuple that vectorcall takes.  The
// interpreter keeps one constant tuple per call site; here the tuples are
// kept in a small table and picked by their interned names (which are
// unique per text), so a call site finds its tuple again by a few pointer
// comparisons.
class KeywordNames {
public:
    static constexpr std::size_t kMax = 8;

    // The tuple for `keywords`.
    static nb::object of(std::initializer_list<Field> keywords) {
        PyObject* wanted[kMax];
        std::size_t n = 0;
        std::uintptr_t mix = 0;
        for (const Field& f : keywords) {
            wanted[n] = name(f.first).ptr();
            mix = mix * 31 + reinterpret_cast<std::uintptr_t>(wanted[n]);
            ++n;
        }
        Entry& entry = table_[(mix * 0x9E3779B97F4A7C15ull) >> (64 - kBits)];
        if (entry.tuple && entry.size == n &&
            std::equal(wanted, wanted + n, &PyTuple_GET_ITEM(entry.tuple, 0))) {
            return nb::borrow(entry.tuple);
        }
        PyObject* tuple = PyTuple_New(static_cast<Py_ssize_t>(n));
        if (!tuple) raise_current();
        for (std::size_t i = 0; i < n; ++i) {
            Py_INCREF(wanted[i]);
            PyTuple_SET_ITEM(tuple, static_cast<Py_ssize_t>(i), wanted[i]);
        }
        // A call under way that uses the displaced tuple holds its own
        // reference to it (Stack::kwnames_).
        Py_XDECREF(entry.tuple);
        entry = Entry{tuple, n};
        return nb::borrow(tuple);
    }

private:
    struct Entry {
        PyObject* tuple = nullptr;
        std::size_t size = 0;
    };
    static constexpr unsigned kBits = 6;
    static Entry table_[std::size_t{1} << kBits];
};

KeywordNames::Entry KeywordNames::table_[std::size_t{1} << KeywordNames::kBits];

// The argument array of a vectorcall: a free slot in front (so that a callee
// may prepend a bound method's self without copying), then `self` when there
// is one, the positional arguments and the keyword values.
class Stack {
public:
    static constexpr std::size_t kMax = 15;

    Stack(nb::handle self, std::initializer_list<nb::handle> args,
          std::initializer_list<Field> keywords) {
        std::size_t positional = (self.is_valid() ? 1 : 0) + args.size();
        if (positional + keywords.size() > kMax || keywords.size() > KeywordNames::kMax) {
            throw std::length_error("morvent: too many arguments for native::call");
        }
        items_[0] = nullptr;
        std::size_t i = 1;
        if (self.is_valid()) items_[i++] = self.ptr();
        for (nb::handle h : args) items_[i++] = h.ptr();
        for (const Field& f : keywords) items_[i++] = f.second.ptr();
        if (keywords.size() > 0) kwnames_ = KeywordNames::of(keywords);
        nargsf_ = positional | PY_VECTORCALL_ARGUMENTS_OFFSET;
    }
    Stack(const Stack&) = delete;
    Stack& operator=(const Stack&) = delete;

    PyObject* const* args() const { return items_ + 1; }
    std::size_t nargsf() const { return nargsf_; }
    PyObject* kwnames() const { return kwnames_.ptr(); }

private:
    PyObject* items_[kMax + 1];
    std::size_t nargsf_;
    nb::object kwnames_;
};

}  // namespace

namespace names {

alignas(64) Slot slots[std::size_t{1} << kSlotBits];

namespace {

// The addresses of the read-only segment of this shared object that holds
// its string literals (found once, from one of them).  Nothing in it can
// change while the object is loaded, and an extension module is never
// unloaded.
struct Segment {
    std::uintptr_t begin = 0;
    std::uintptr_t end = 0;
};

Segment literal_segment() {
    struct Search {
        std::uintptr_t probe;
        Segment found;
    } search{reinterpret_cast<std::uintptr_t>("morvent"), {}};
    dl_iterate_phdr(
        [](dl_phdr_info* info, std::size_t, void* data) -> int {
            auto* s = static_cast<Search*>(data);
            for (ElfW(Half) i = 0; i < info->dlpi_phnum; ++i) {
                const ElfW(Phdr)& ph = info->dlpi_phdr[i];
                if (ph.p_type != PT_LOAD || (ph.p_flags & PF_W) != 0) continue;
                std::uintptr_t begin = info->dlpi_addr + ph.p_vaddr;
                std::uintptr_t end = begin + ph.p_memsz;
                if (s->probe >= begin && s->probe < end) {
                    s->found = Segment{begin, end};
                    return 1;
                }
            }
            return 0;
        },
        &search);
    return search.found;
}

bool is_fixed(const char* text) {
    static const Segment segment = literal_segment();
    auto address = reinterpret_cast<std::uintptr_t>(text);
    return address >= segment.begin && address < segment.end;
}

}  // namespace

nb::handle lookup(const char* text) {
    PyObject* value = intern_text(text).second;
    if (!is_fixed(text)) return value;
    std::size_t i = slot_index(text);
    Slot& first = slots[i];
    Slot& second = slots[i ^ 1];
    // A free way if there is one, else the text's own slot: two texts that
    // share a set both stay, a third displaces only the one in its own slot.
    Slot& chosen = (first.address && !second.address) ? second : first;
    chosen = Slot{text, value};
    return value;
}

}  // namespace names

namespace {

// module.<attribute>, as LOAD_ATTR and LOAD_METHOD find it once they have
// specialised for a module: the value the module dict held when its version
// tag was the one noted.  For an exact module, a name that neither the
// module type nor object defines (they are immutable) is the module dict's
// entry or nothing, so while the dict's tag is unchanged the value is still
// the one bound.  A miss, a name the type defines and any other object take
// PyObject_GetAttr.  Values are held borrowed, as in GlobalCache.
struct ModuleAttr {
    PyObject* dict = nullptr;
    PyObject* key = nullptr;
    std::uint64_t version = 0;
    PyObject* value = nullptr;
};

constexpr unsigned kModuleAttrBits = 6;
ModuleAttr module_attrs[std::size_t{1} << kModuleAttrBits];

std::size_t module_attr_index(PyObject* dict, PyObject* key) {
    auto mix = reinterpret_cast<std::uintptr_t>(dict) ^ (reinterpret_cast<std::uintptr_t>(key) >> 4);
    return static_cast<std::size_t>((mix * 0x9E3779B97F4A7C15ull) >> (64 - kModuleAttrBits));
}

nb::object module_attr(PyObject* module, PyObject* key) {
    PyObject* dict = PyModule_GetDict(module);  // borrowed, never null for a module
    ModuleAttr& slot = module_attrs[module_attr_index(dict, key)];
    if (slot.dict == dict && slot.key == key && slot.version == dict_version(dict))
        return nb::borrow(slot.value);
    if (!_PyType_Lookup(&PyModule_Type, key)) {
        PyObject* value = PyDict_GetItemWithError(dict, key);  // borrowed
        if (value) {
            slot = ModuleAttr{dict, key, dict_version(dict), value};
            return nb::borrow(value);
        }
        if (PyErr_Occurred()) raise_current();
    }
    return check(PyObject_GetAttr(module, key));
}

}  // namespace

nb::object attr(nb::handle obj, const char* attribute) {
    nb::handle key = name(attribute);
    if (Py_IS_TYPE(obj.ptr(), &PyModule_Type)) return module_attr(obj.ptr(), key.ptr());
    return check(PyObject_GetAttr(obj.ptr(), key.ptr()));
}

void set_attr(nb::handle obj, const char* attribute, nb::handle value) {
    if (PyObject_SetAttr(obj.ptr(), name(attribute).ptr(), value.ptr()) != 0) raise_current();
}

namespace direct {

const Entry* table[std::size_t{1} << kBits];

void note(const Entry* entry) {
    std::size_t i = index(entry->function.ptr());
    while (table[i]) i = (i + 1) & ((std::size_t{1} << kBits) - 1);
    table[i] = entry;
}

bool bind(const Entry& entry, std::initializer_list<nb::handle> args,
          std::initializer_list<Field> keywords, PyObject** bound) {
    if (args.size() > entry.size) return false;
    std::size_t i = 0;
    for (nb::handle arg : args) bound[i++] = arg.ptr();
    for (std::size_t j = i; j < entry.size; ++j) bound[j] = nullptr;
    for (const Field& field : keywords) {
        PyObject* key = name(field.first).ptr();
        std::size_t j = i;
        while (j < entry.size && entry.names[j] != key) ++j;
        // Unknown, given by position already, or given twice.
        if (j == entry.size || bound[j]) return false;
        bound[j] = field.second.ptr();
    }
    for (std::size_t j = i; j < entry.size; ++j) {
        if (bound[j]) continue;
        if (!entry.defaults[j].is_valid()) return false;
        bound[j] = entry.defaults[j].ptr();
    }
    return true;
}

void translate_cpp_exception() {
    // nanobind's own default translation (nb_internals.cpp).
    try {
        throw;
    } catch (const std::bad_alloc& e) {
        PyErr_SetString(PyExc_MemoryError, e.what());
    } catch (const std::domain_error& e) {
        PyErr_SetString(PyExc_ValueError, e.what());
    } catch (const std::invalid_argument& e) {
        PyErr_SetString(PyExc_ValueError, e.what());
    } catch (const std::length_error& e) {
        PyErr_SetString(PyExc_ValueError, e.what());
    } catch (const std::out_of_range& e) {
        PyErr_SetString(PyExc_IndexError, e.what());
    } catch (const std::range_error& e) {
        PyErr_SetString(PyExc_ValueError, e.what());
    } catch (const std::overflow_error& e) {
        PyErr_SetString(PyExc_OverflowError, e.what());
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "morvent: a C++ exception that is no std::exception");
    }
    raise_current();
}

}  // namespace direct

nb::object call(nb::handle fn, std::initializer_list<nb::handle> args,
                std::initializer_list<Field> keywords) {
    if (const direct::Entry* entry = direct::find(fn.ptr())) {
        PyObject* bound[direct::kMaxParams];
        if (direct::bind(*entry, args, keywords, bound)) return entry->run(*entry, bound);
    }
    Stack stack(nb::handle(), args, keywords);
    return check(PyObject_Vectorcall(fn.ptr(), stack.args(), stack.nargsf(), stack.kwnames()));
}

nb::object call_method(nb::handle obj, const char* method, std::initializer_list<nb::handle> args,
                       std::initializer_list<Field> keywords) {
    Stack stack(obj, args, keywords);
    return check(PyObject_VectorcallMethod(name(method).ptr(), stack.args(), stack.nargsf(),
                                           stack.kwnames()));
}

Items::iterator::iterator(nb::handle iterable) {
    if (PyList_CheckExact(iterable.ptr())) {
        list_ = nb::borrow(iterable);
    } else {
        iter_ = check(PyObject_GetIter(iterable.ptr()));
    }
    ++*this;
}

Items::iterator& Items::iterator::next() {
    current_ = nb::steal(PyIter_Next(iter_.ptr()));
    if (!current_.is_valid() && PyErr_Occurred()) raise_current();
    return *this;
}

}  // namespace morvent::native
