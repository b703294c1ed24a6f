// _md5(text): the MD5 hex digest of the UTF-8 bytes of a str.
#include "module/callables.hpp"
#include "module/globals.hpp"

namespace log_main {

static PyObject* md5_body(Function*, PyObject* const* a) {
    PyObject* text = a[0];
    Ref hashlib = global(S.hashlib);
    if (!hashlib) return nullptr;
    Ref hasher = Ref::steal(PyObject_CallMethodNoArgs(hashlib.get(), S.md5));
    if (!hasher) return nullptr;
    Ref update = Ref::steal(PyObject_GetAttr(hasher.get(), S.update));
    if (!update) return nullptr;
    // text.encode(encoding="utf-8"), the encoding passed by keyword.
    PyObject* enc_args[] = {text, S.utf_8};
    Ref data = Ref::steal(PyObject_VectorcallMethod(S.encode, enc_args, 1, M.kw_encoding));
    if (!data) return nullptr;
    Ref ignored = Ref::steal(PyObject_CallOneArg(update.get(), data.get()));
    if (!ignored) return nullptr;
    Ref digest = Ref::steal(PyObject_CallMethodNoArgs(hasher.get(), S.hexdigest));
    if (!digest || expect_type(digest.get(), &PyUnicode_Type, "unicode") < 0) return nullptr;
    return digest.release();
}

static const Param md5_params[] = {
    {"text", Kind::PositionalOrKeyword, Default::Required, Check::Str, "str"},
};

const FunctionSpec md5_spec = {
    "_md5", "_md5", "log_main._md5", "_md5(unicode text: str) -> str", "str", md5_params, 1, md5_body, 40,
};

}  // namespace log_main
