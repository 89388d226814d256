// The recogniser object: one runtime handle, the strings that the handle's
// init record points into, and the conversions between Python values and the
// NUL-terminated strings the runtime reads.
//
// init(), transcribe() and close() release the interpreter lock around the runtime
// call (loading a model and decoding audio take seconds on the device), so
// the rest of the program keeps running. The runtime still sees one call at a
// time: every call into it is made holding the module's runtime lock. While a
// thread is inside a call on an object, the object is busy: its other methods
// refuse, so neither its handle nor the strings the runtime reads from it can
// be released or replaced under the call.
//
// Across fork(): the runtime lock is usable again in the child, whoever held
// it. A recogniser whose call was in progress at the fork is orphaned there
// (busy_mark.h): its handle belongs to that call in the parent, and passing
// it to the runtime could wait on a lock of the runtime's held by the
// parent's vanished thread. So it refuses init() and transcribe(), and its
// close() and destruction only forget the handle. An idle recogniser goes on
// working in the child, as far as the runtime itself does after a fork.
#include "../common/busy_mark.h"
#include "../common/interpreter_lock.h"
#include "../common/native_function.h"
#include "quellan_internal.h"
#include "quellan_loader.h"

#include <cstring>
#include <mutex>
#include <new>

namespace quellan {

namespace {

struct QuellanObject {
    PyObject_HEAD
    KIV_ASRHandle handle;   // NULL when the object holds no recogniser
    PyObject* keepalive;    // list of the bytes the current handle's init record points into
    kiv::BusyField busy;    // kBusy while a thread is inside init(), transcribe() or close() on this object
};

QuellanObject* as_quellan(PyObject* self) { return reinterpret_cast<QuellanObject*>(self); }

// Held for every call into the runtime, by every object and thread. Never
// destroyed: a daemon thread may still hold it while the process exits.
// Made anew in the child of a fork (reset_runtime_lock_in_child).
std::mutex& s_runtime_mutex = *new std::mutex;

// Calls into the runtime with the interpreter lock released and the runtime
// lock held: a call waiting for another (a transcription in progress) lets the
// rest of the program run, and a runtime may wait for threads of its own. The
// runtime lock is given back first; taking the interpreter lock back goes
// through the exit gate (interpreter_lock.h), so a daemon thread that
// comes back while the interpreter ends waits there for the process to end
// instead of being unwound by the interpreter, and never keeps the runtime
// locked.
template <typename Call>
int call_unlocked(Call&& call) {
    kiv::ReleaseGil unlocked;
    std::lock_guard<std::mutex> lock(s_runtime_mutex);
    return call();
}

// Busy means busy: a second thread gets RuntimeError and nothing reaches the
// runtime. One state: the refusal names every method that marks the object.
constexpr kiv::BusyState kBusy = 1;

const char* busy_refusal(kiv::BusyState, bool orphaned) {
    if (orphaned) {
        return "a Quellan call (init, transcribe or close) was in progress on this object when the process "
               "forked; the object cannot be used in this process: make a new Quellan here";
    }
    return "a Quellan call (init, transcribe or close) is in progress on this object in another thread; "
           "wait for it to return";
}

kiv::BusyMark busy_mark(QuellanObject* self) { return {self->busy, kBusy, busy_refusal}; }

// Releases the handle, if any; the runtime's answer is not consulted, the
// handle is gone either way. An orphaned object's handle is only forgotten.
void release_handle(QuellanObject* self) {
    KIV_ASRHandle handle = self->handle;
    if (handle == nullptr) return;
    self->handle = nullptr;
    if (self->busy.orphaned()) return;
    call_unlocked([handle] { return quellan_uninit(handle); });
}

// The runtime reads C strings: an embedded NUL would silently cut the value
// short, so it is refused.
bool refuse_embedded_nul(PyObject* bytes, const char* param) {
    if (std::memchr(PyBytes_AS_STRING(bytes), '\0', PyBytes_GET_SIZE(bytes)) == nullptr) return true;
    PyErr_Format(PyExc_ValueError, "%s must not contain NUL characters", param);
    return false;
}

// A path made absolute with os.path.abspath and encoded with os.fsencode.
kiv::Ref path_bytes(PyObject* self, PyObject* value, const char* param) {
    kiv::Ref os = module_global(Py_TYPE(self), "os");
    if (!os) return {};
    kiv::Ref os_path = kiv::Ref::steal(PyObject_GetAttrString(os.get(), "path"));
    if (!os_path) return {};
    kiv::Ref absolute = kiv::Ref::steal(PyObject_CallMethod(os_path.get(), "abspath", "O", value));
    if (!absolute) return {};
    kiv::Ref encoded = kiv::Ref::steal(PyObject_CallMethod(os.get(), "fsencode", "O", absolute.get()));
    if (!encoded) return {};
    if (!PyBytes_Check(encoded.get())) {
        PyErr_Format(PyExc_TypeError, "Expected bytes, got %.200s", Py_TYPE(encoded.get())->tp_name);
        return {};
    }
    if (!refuse_embedded_nul(encoded.get(), param)) return {};
    return encoded;
}

// A str encoded as strict UTF-8 through its encode method, or exactly bytes.
kiv::Ref text_bytes(PyObject* value, const char* param) {
    kiv::Ref encoded;
    if (PyUnicode_CheckExact(value)) {
        encoded = kiv::Ref::steal(PyUnicode_AsUTF8String(value));
    } else if (PyUnicode_Check(value)) {
        encoded = kiv::Ref::steal(PyObject_CallMethod(value, "encode", "s", "utf-8"));
    } else {
        encoded = kiv::Ref::borrow(value);
    }
    if (!encoded) return {};
    if (!PyBytes_CheckExact(encoded.get())) {
        PyErr_Format(PyExc_TypeError, "Expected %.42s, got %.200s", "bytes", Py_TYPE(encoded.get())->tp_name);
        return {};
    }
    if (!refuse_embedded_nul(encoded.get(), param)) return {};
    return encoded;
}

// None, "" and b"" (anything false) count as not given.
int is_given(PyObject* value) { return PyObject_IsTrue(value); }

const char* bytes_or_null(const kiv::Ref& bytes) { return bytes ? PyBytes_AS_STRING(bytes.get()) : nullptr; }

// ---------------------------------------------------------------- construction

KIV_FUNCTION_SPEC(kConstructorSpec, "Quellan", nullptr, nullptr, nullptr, {"lib_path", kiv::Default::none()});

PyObject* s_constructor_defaults = nullptr;   // (None,)

PyObject* quellan_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    // As with object.__new__, a subclass whose own __init__ takes arguments
    // leaves them to it; its library is then found as for Quellan().
    PyObject* bound[1] = {Py_None};
    const bool arguments_are_for_init = type->tp_init != PyBaseObject_Type.tp_init;
    if (!arguments_are_for_init &&
        !kiv::bind_tuple_dict(kConstructorSpec, s_constructor_defaults, args, kwargs, bound)) {
        return nullptr;
    }
    PyObject* lib_path = bound[0];

    kiv::Ref self = kiv::Ref::steal(type->tp_alloc(type, 0));
    if (!self) return nullptr;
    QuellanObject* q = as_quellan(self.get());
    q->handle = nullptr;
    q->busy = {};
    q->keepalive = PyList_New(0);
    if (q->keepalive == nullptr) return nullptr;

    kiv::Ref path;
    const int given = is_given(lib_path);
    if (given < 0) return nullptr;
    if (given) {
        path = kiv::Ref::borrow(lib_path);
    } else {
        kiv::Ref finder = module_global(type, "find_quellan_path");
        if (!finder) return nullptr;
        path = kiv::Ref::steal(PyObject_CallNoArgs(finder.get()));
        if (!path) return nullptr;
    }
    // Encoded even when the library is already loaded, so an unusable path
    // fails the same way in every case.
    kiv::Ref os = module_global(type, "os");
    if (!os) return nullptr;
    kiv::Ref encoded = kiv::Ref::steal(PyObject_CallMethod(os.get(), "fsencode", "O", path.get()));
    if (!encoded) return nullptr;
    if (!PyBytes_Check(encoded.get())) {
        PyErr_Format(PyExc_TypeError, "Expected bytes, got %.200s", Py_TYPE(encoded.get())->tp_name);
        return nullptr;
    }
    if (!refuse_embedded_nul(encoded.get(), "lib_path")) return nullptr;

    if (!s_quellan_loaded) {
        const char* library = PyBytes_AS_STRING(encoded.get());
        const int loaded = call_unlocked([library] { return load_quellan_func(library); });
        if (loaded != 0) {
            kiv::Ref shown = kiv::Ref::steal(PyObject_Format(path.get(), nullptr));
            if (!shown) return nullptr;
            PyErr_Format(PyExc_RuntimeError, "Cannot load libquellan.so (%U)", shown.get());
            return nullptr;
        }
        s_quellan_loaded = 1;
    }
    return self.release();
}

int quellan_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(as_quellan(self)->keepalive);
    return 0;
}

int quellan_clear(PyObject* self) {
    QuellanObject* q = as_quellan(self);
    // Strings stay reachable for the runtime only while the handle lives: a
    // cleared object gives its handle back first.
    release_handle(q);
    kiv::replace_field(q->keepalive, Py_NewRef(Py_None));
    return 0;
}

void quellan_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    {
        kiv::PreserveException saved;
        // The handle goes first, so the strings it points into outlive it.
        release_handle(as_quellan(self));
        Py_CLEAR(as_quellan(self)->keepalive);
    }
    type->tp_free(self);
    Py_DECREF(type);
}

// --------------------------------------------------------------------- methods

// init(backend, model_path, tokenizer_path, decoder_path=None, extra_json=None)
PyObject* quellan_init_method(PyObject* self, kiv::BoundArgs args) {
    QuellanObject* q = as_quellan(self);
    PyObject* backend = args[0];
    PyObject* decoder_path = args[3];
    PyObject* extra_json = args[4];

    int whisper;
    {
        kiv::Ref whisper_name = kiv::Ref::steal(PyUnicode_FromString("whisper"));
        if (!whisper_name) return nullptr;
        whisper = PyObject_RichCompareBool(backend, whisper_name.get(), Py_EQ);
    }
    if (whisper < 0) return nullptr;
    const int32_t model_type = whisper ? KIV_ASR_MODEL_WHISPER : 1;

    // Every argument is converted before the object changes, so a conversion
    // error leaves the current handle and its strings as they were.
    kiv::Ref model = path_bytes(self, args[1], "model_path");
    if (!model) return nullptr;
    kiv::Ref tokenizer = path_bytes(self, args[2], "tokenizer_path");
    if (!tokenizer) return nullptr;
    kiv::Ref decoder;
    int given = is_given(decoder_path);
    if (given < 0) return nullptr;
    if (given && !(decoder = path_bytes(self, decoder_path, "decoder_path"))) return nullptr;
    kiv::Ref extra;
    given = is_given(extra_json);
    if (given < 0) return nullptr;
    if (given && !(extra = text_bytes(extra_json, "extra_json"))) return nullptr;

    kiv::Ref keepalive = kiv::Ref::steal(PyList_New(0));
    if (!keepalive) return nullptr;
    for (PyObject* item : {model.get(), tokenizer.get(), decoder.get(), extra.get()}) {
        if (item != nullptr && PyList_Append(keepalive.get(), item) < 0) return nullptr;
    }

    // Checked after the conversions: they run Python code, which may have
    // started a call on this object in another thread. From here the object is
    // busy, also while the earlier recogniser is released without the
    // interpreter lock, so no other call can slip in between.
    kiv::BusyMark busy = busy_mark(q);
    if (!busy.enter()) return nullptr;
    kiv::Ref keep_self = kiv::Ref::borrow(self);
    KIV_ASRHandle created = nullptr;
    int rc;
    {
        // A recogniser already held is released as close() does before its
        // strings are dropped: the runtime never keeps pointers into freed memory.
        release_handle(q);
        // The strings stay alive through the object's keepalive list, which no
        // other method replaces while the object is busy.
        kiv::replace_field(q->keepalive, keepalive.release());
        rc = call_unlocked(
            [&] {
                return quellan_init(&created, model_type, PyBytes_AS_STRING(model.get()), bytes_or_null(decoder),
                                    PyBytes_AS_STRING(tokenizer.get()), bytes_or_null(extra));
            });
        if (rc == KIV_ASR_SUCCESS) q->handle = created;
    }
    busy.leave();
    if (rc != KIV_ASR_SUCCESS || q->handle == nullptr) {
        PyErr_Format(PyExc_RuntimeError, "kiv_asr_init failed (rc=%d)", rc);
        return nullptr;
    }
    Py_RETURN_NONE;
}

// Owns the two strings that quellan_transcribe_file hands back.
struct TranscribeOutputs {
    char* text = nullptr;
    char* language = nullptr;
    ~TranscribeOutputs() {
        quellan_free_cstr(text);
        quellan_free_cstr(language);
    }
};

kiv::Ref decode_strict(const char* s) {
    if (s == nullptr) s = "";
    return kiv::Ref::steal(PyUnicode_DecodeUTF8(s, static_cast<Py_ssize_t>(std::strlen(s)), "strict"));
}

// transcribe(wav_path, language="auto", task="transcribe") -> {"text", "language"}
PyObject* quellan_transcribe_method(PyObject* self, kiv::BoundArgs args) {
    QuellanObject* q = as_quellan(self);
    kiv::Ref wav = path_bytes(self, args[0], "wav_path");
    if (!wav) return nullptr;
    kiv::Ref language;
    int given = is_given(args[1]);
    if (given < 0) return nullptr;
    if (given && !(language = text_bytes(args[1], "language"))) return nullptr;
    kiv::Ref task;
    given = is_given(args[2]);
    if (given < 0) return nullptr;
    if (given && !(task = text_bytes(args[2], "task"))) return nullptr;

    kiv::BusyMark busy = busy_mark(q);
    if (!busy.enter()) return nullptr;
    TranscribeOutputs out;
    // No handle test here: without one the shim reports failure. The handle
    // cannot be released meanwhile: close() and init() refuse while busy.
    KIV_ASRHandle handle = q->handle;
    kiv::Ref keep_self = kiv::Ref::borrow(self);
    const int rc = call_unlocked(
        [&] {
            return quellan_transcribe_file(handle, PyBytes_AS_STRING(wav.get()), bytes_or_null(language),
                                           bytes_or_null(task), &out.text, &out.language);
        });
    busy.leave();
    if (rc != KIV_ASR_SUCCESS) {
        PyErr_Format(PyExc_RuntimeError, "kiv_asr_transcribe failed (rc=%d)", rc);
        return nullptr;
    }
    kiv::Ref text = decode_strict(out.text);
    if (!text) return nullptr;
    kiv::Ref detected = decode_strict(out.language);
    if (!detected) return nullptr;
    kiv::Ref result = kiv::Ref::steal(PyDict_New());
    if (!result || PyDict_SetItemString(result.get(), "text", text.get()) < 0 ||
        PyDict_SetItemString(result.get(), "language", detected.get()) < 0) {
        return nullptr;
    }
    return result.release();
}

// close(): idempotent; the strings of the last init are kept.
PyObject* quellan_close_method(PyObject* self, kiv::BoundArgs) {
    QuellanObject* q = as_quellan(self);
    // Nothing to wait for: the call in progress at the fork never ends here.
    if (q->busy.orphaned()) {
        release_handle(q);
        Py_RETURN_NONE;
    }
    // Busy while the runtime releases the recogniser without the interpreter
    // lock: an init() on another thread would otherwise drop the strings the
    // handle still points into.
    kiv::BusyMark busy = busy_mark(q);
    if (!busy.enter()) return nullptr;
    release_handle(q);
    Py_RETURN_NONE;
}

KIV_FUNCTION_SPEC(kInitSpec, "init", "None",
                  "Create the recogniser (kiv_asr_init) from its model files. backend 'whisper' selects the\n"
                  "whisper model type, any other value the runtime's second type. The paths are str, bytes or\n"
                  "path-like and are made absolute; decoder_path is optional. extra_json is runtime options as\n"
                  "JSON text (str or bytes), not a dict. Raises RuntimeError 'kiv_asr_init failed (rc=1)' when\n"
                  "the runtime refuses the files. A recogniser held from an earlier init() is released first.",
                  quellan_init_method, {"backend"}, {"model_path"}, {"tokenizer_path"},
                  {"decoder_path", kiv::Default::none()}, {"extra_json", kiv::Default::none()});
KIV_FUNCTION_SPEC(kTranscribeSpec, "transcribe", "dict",
                  "Transcribe one WAV file (kiv_asr_transcribe) and return {'text': ..., 'language': ...}.\n"
                  "language is a code such as 'en' or 'auto' to let the runtime detect it; task is\n"
                  "'transcribe' or 'translate'. None or '' sends neither. Raises RuntimeError\n"
                  "'kiv_asr_transcribe failed (rc=1)' when the runtime fails (a missing or unreadable file)\n"
                  "or when init() has not succeeded. Other threads run meanwhile (the interpreter lock is\n"
                  "released); calls into the runtime are serialised, and a second call on the same object\n"
                  "while this one runs raises RuntimeError.",
                  quellan_transcribe_method, {"wav_path"}, {"language", kiv::Default::text("auto")},
                  {"task", kiv::Default::text("transcribe")});
KIV_FUNCTION_SPEC(kCloseSpec, "close", nullptr,
                  "Release the recogniser (kiv_asr_uninit). Safe to call twice; init() may follow. In a\n"
                  "child made by fork() while a call was in progress on this object, the recogniser is\n"
                  "that call's: it is only forgotten, and init() and transcribe() raise RuntimeError.",
                  quellan_close_method);

PyType_Slot quellan_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(quellan_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(quellan_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(quellan_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(quellan_clear)},
    {0, nullptr},
};

PyType_Spec quellan_spec = {
    KIV_MODULE_NAME ".Quellan",
    sizeof(QuellanObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
    quellan_slots,
};

}  // namespace

void reset_runtime_lock_in_child() noexcept {
    // A thread of the parent may have held it; none does in the child. The
    // constructor only stores the unlocked state.
    new (&s_runtime_mutex) std::mutex;
}

kiv::Ref module_global(PyTypeObject* type, const char* name) {
    PyObject* module = PyType_GetModuleByDef(type, &module_def);   // borrowed
    if (module == nullptr) return {};
    PyObject* value = nullptr;
    if (PyDict_GetItemStringRef(PyModule_GetDict(module), name, &value) < 0) return {};
    if (value == nullptr) PyErr_Format(PyExc_NameError, "name '%s' is not defined", name);
    return kiv::Ref::steal(value);
}

kiv::Ref create_quellan_type(PyObject* module) {
    if (s_constructor_defaults == nullptr) {
        s_constructor_defaults = kiv::make_defaults(kConstructorSpec, module).release();
        if (s_constructor_defaults == nullptr) return {};
    }
    kiv::Ref type = kiv::Ref::steal(PyType_FromModuleAndSpec(module, &quellan_spec, nullptr));
    if (!type) return {};
    auto* owner = reinterpret_cast<PyTypeObject*>(type.get());

    if (!kiv::add_methods(owner, {{kInitSpec},
                                  {kTranscribeSpec},
                                  {kCloseSpec},
                                  {kiv::refuse_reduce_spec},
                                  {kiv::refuse_setstate_spec}})) {
        return {};
    }
    // The class has no docstring to carry a text signature; inspect.signature()
    // reads this instead.
    kiv::Ref signature = kiv::Ref::steal(PyUnicode_FromString("(lib_path=None)"));
    if (!signature || PyObject_SetAttrString(type.get(), "__signature__", signature.get()) < 0) return {};
    return type;
}

}  // namespace quellan
