// The message text of a level method (see message.hpp).
#include "logger/message.hpp"

#include <cstring>

#include "module/globals.hpp"

namespace log_main {

// Writes the decimal digits of v at the end of buf; returns the first digit.
static char* format_decimal(long long v, char* end) {
    unsigned long long u = v < 0 ? 0ULL - static_cast<unsigned long long>(v) : static_cast<unsigned long long>(v);
    char* p = end;
    do {
        *--p = static_cast<char>('0' + u % 10);
        u /= 10;
    } while (u);
    if (v < 0) *--p = '-';
    return p;
}

// Parts whose str() runs no code of anyone's and cannot fail: exact str,
// float, None, True, False, and exact ints of machine size (a long int's str
// fails past the interpreter's digit limit). Turning them into text can be
// left out or put off unseen.
static bool inert_part(PyObject* part) {
    return PyUnicode_CheckExact(part) ||
           (PyLong_CheckExact(part) && PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject*>(part))) ||
           part == Py_None || part == Py_True || part == Py_False || PyFloat_CheckExact(part);
}

bool inert_parts(PyObject* const* parts, Py_ssize_t nparts) {
    for (Py_ssize_t i = 0; i < nparts; ++i)
        if (!inert_part(parts[i])) return false;
    return true;
}

// The common case joined straight into the result, with no str() objects and
// no tuple: parts that are exact str of one-byte kind, exact int of machine
// size, None, True, False or exact float (whose text is made by float's own
// str, C code). Returns an empty Ref without an exception when a part does
// not qualify.
static Ref join_simple_parts(PyObject* const* parts, Py_ssize_t nparts) {
    constexpr Py_ssize_t kMaxFast = 16;
    if (nparts > kMaxFast) return Ref();
    char digits[kMaxFast][24];
    Ref floats[kMaxFast];
    const char* text[kMaxFast];
    Py_ssize_t length[kMaxFast];
    Py_ssize_t total = nparts - 1;
    Py_UCS4 maxchar = 0x7f;
    for (Py_ssize_t i = 0; i < nparts; ++i) {
        PyObject* part = parts[i];
        PyObject* as_text = part;
        if (PyLong_CheckExact(part)) {
            int overflow = 0;
            long long v = PyLong_AsLongLongAndOverflow(part, &overflow);
            if (overflow) return Ref();
            char* end = digits[i] + sizeof digits[i];
            text[i] = format_decimal(v, end);
            length[i] = end - text[i];
            total += length[i];
            continue;
        }
        if (part == Py_None || part == Py_True || part == Py_False) {
            const char* word = part == Py_None ? "None" : part == Py_True ? "True" : "False";
            text[i] = word;
            length[i] = static_cast<Py_ssize_t>(strlen(word));
            total += length[i];
            continue;
        }
        if (PyFloat_CheckExact(part)) {
            floats[i] = Ref::steal(PyObject_Str(part));
            if (!floats[i]) return Ref();
            as_text = floats[i].get();
        } else if (!PyUnicode_CheckExact(part)) {
            return Ref();
        }
        if (PyUnicode_KIND(as_text) != PyUnicode_1BYTE_KIND) return Ref();
        text[i] = reinterpret_cast<const char*>(PyUnicode_1BYTE_DATA(as_text));
        length[i] = PyUnicode_GET_LENGTH(as_text);
        if (PyUnicode_MAX_CHAR_VALUE(as_text) > maxchar) maxchar = 0xff;
        total += length[i];
    }
    Ref joined = Ref::steal(PyUnicode_New(total, maxchar));
    if (!joined) return Ref();
    char* out = reinterpret_cast<char*>(PyUnicode_1BYTE_DATA(joined.get()));
    for (Py_ssize_t i = 0; i < nparts; ++i) {
        if (i) *out++ = ' ';
        memcpy(out, text[i], static_cast<size_t>(length[i]));
        out += length[i];
    }
    return joined;
}

Ref join_parts(PyObject* const* parts, Py_ssize_t nparts) {
    if (nparts == 0) return Ref::borrow(S.empty);
    if (nparts == 1 && PyUnicode_CheckExact(parts[0])) return Ref::borrow(parts[0]);
    Ref joined = join_simple_parts(parts, nparts);
    if (joined || PyErr_Occurred()) return joined;
    if (nparts == 1) {
        // As a join of one item: the text of a str subclass comes out as an exact str.
        Ref text = Ref::steal(PyObject_Str(parts[0]));
        return !text || PyUnicode_CheckExact(text.get()) ? std::move(text)
                                                         : Ref::steal(PyUnicode_FromObject(text.get()));
    }
    Ref texts = Ref::steal(PyTuple_New(nparts));
    if (!texts) return Ref();
    for (Py_ssize_t i = 0; i < nparts; ++i) {
        PyObject* text = PyObject_Str(parts[i]);
        if (!text) return Ref();
        PyTuple_SET_ITEM(texts.get(), i, text);
    }
    return Ref::steal(PyUnicode_Join(S.space, texts.get()));
}

}  // namespace log_main
