// _md5(text): the MD5 hex digest of the UTF-8 bytes of a str.
#include "module/callables.hpp"
#include "module/globals.hpp"

namespace log_main {

static AttrCache md5_constructor;
static PyObject* stock_md5 = nullptr;  // hashlib.md5 as found at load, if a C function

int md5_init() {
    Ref hashlib = global(S.hashlib);
    Ref loaded;
    if (!hashlib || PyObject_GetOptionalAttr(hashlib.get(), S.md5, loaded.out()) < 0) return -1;
    Py_XSETREF(stock_md5, loaded && PyCFunction_Check(loaded.get()) ? loaded.release() : nullptr);
    return 0;
}

static PyObject* md5_body(Function*, PyObject* const* a) {
    PyObject* text = a[0];
    Ref md5 = cached_global_attr(S.hashlib, S.md5, md5_constructor);
    if (!md5) return nullptr;
    Ref hasher;
    if (stock_md5 && md5.get() == stock_md5) {
        // The library's own constructor: md5(data) is md5() followed by
        // update(data), in one call.
        Ref data = Ref::steal(PyUnicode_AsUTF8String(text));
        if (!data) return nullptr;
        hasher = call(md5, {data.get()});
        if (!hasher) return nullptr;
    } else {
        hasher = call(md5, {});
        if (!hasher) return nullptr;
        // result.update, looked up before the text is encoded, without a bound method.
        Ref update;
        const int unbound = _PyObject_GetMethod(hasher.get(), S.update, update.out());
        if (!update) return nullptr;
        // text.encode(encoding="utf-8"): for an exact str, its strict UTF-8 bytes.
        Ref data = Ref::steal(PyUnicode_AsUTF8String(text));
        if (!data) return nullptr;
        PyObject* update_args[] = {hasher.get(), data.get()};
        Ref ignored = Ref::steal(unbound ? PyObject_Vectorcall(update.get(), update_args, 2, nullptr)
                                         : PyObject_Vectorcall(update.get(), update_args + 1, 1, nullptr));
        if (!ignored) return nullptr;
    }
    Ref digest = Ref::steal(PyObject_CallMethodNoArgs(hasher.get(), S.hexdigest));
    if (!digest || expect_type(digest.get(), &PyUnicode_Type, "unicode") < 0) return nullptr;
    return digest.release();
}

static const Param md5_params[] = {
    {"text", Kind::PositionalOrKeyword, Default::Required, Check::Str, "str"},
};

const FunctionSpec md5_spec = {
    .name = "_md5",
    .qualname = "_md5",
    .traceback_name = "log_main._md5",
    .doc = "_md5(unicode text: str) -> str",
    .return_annotation = "str",
    .params = md5_params,
    .body = md5_body,
    .line = 40,
};

}  // namespace log_main
