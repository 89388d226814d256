// run(): the input, image and run parameter records, the native call with the
// interpreter lock released, and the result dict built from the collectors.
#include "velkor_module.h"

#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

namespace velkor {

namespace {

// run()'s parameters, X(name, default), in positional order: the source of
// the argument indexes below, the keyword names, __defaults__ and the
// signature in the docstring.
#define VELKOR_RUN_PARAMETERS(X)                                   \
    X(prompt_input, kiv::Default::text(""))                        \
    X(run_mode, kiv::Default::member("RunMode", "GENERATE"))       \
    X(retain_history, kiv::Default::integer(0))                    \
    X(userdata, kiv::Default::none())                              \
    X(images, kiv::Default::none())                                \
    X(img_start, kiv::Default::text("<|vision_start|>"))           \
    X(img_end, kiv::Default::text("<|vision_end|>"))               \
    X(img_content, kiv::Default::text("<|image_pad|>"))            \
    X(tool_schemas, kiv::Default::none())                          \
    X(sampler_params, kiv::Default::none())                        \
    X(disable_chat_template, kiv::Default::integer(1))             \
    X(extra_template_params, kiv::Default::none())                 \
    X(enable_think, kiv::Default::integer(0))                      \
    X(sampling_mode, kiv::Default::none())                         \
    X(top_k, kiv::Default::none())                                 \
    X(top_p, kiv::Default::none())                                 \
    X(temperature, kiv::Default::none())                           \
    X(repeat_penalty, kiv::Default::none())                        \
    X(messages_mode, kiv::Default::boolean(false))

// The index of each bound argument: arg::prompt_input, ...
namespace arg {
enum : int { VELKOR_RUN_PARAMETERS(KIV_PARAMETER_INDEX) };
}  // namespace arg

constexpr kiv::Parameter run_parameters[] = {VELKOR_RUN_PARAMETERS(KIV_PARAMETER)};

// An exact-type check of the argument at `index`, named as its parameter.
bool is_exactly(kiv::BoundArgs args, int index, PyTypeObject* type) {
    return kiv::check_exact_type(args[index], type, run_parameters[index].name);
}

struct FreeDeleter {
    void operator()(void* p) const noexcept { std::free(p); }
};
using ImageArray = std::unique_ptr<KIV_LLMImageInput[], FreeDeleter>;

// Buffer views of the normalised images, released when run() returns.
class BufferViews {
public:
    BufferViews() = default;
    BufferViews(const BufferViews&) = delete;
    BufferViews& operator=(const BufferViews&) = delete;
    ~BufferViews() {
        for (Py_buffer& view : views_) PyBuffer_Release(&view);
    }
    Py_buffer* add() {
        views_.emplace_back();
        return &views_.back();
    }
    void drop_last() { views_.pop_back(); }
    void reserve(size_t n) { views_.reserve(n); }

private:
    std::vector<Py_buffer> views_;
};

// The pixel record of one normalised image: a read-only (H, W, 3) byte buffer.
// Anything else would make the runtime read past the pixels, so it is refused.
bool describe_image(PyObject* array, BufferViews& views, KIV_LLMImageInput* record) {
    Py_buffer* view = views.add();
    if (PyObject_GetBuffer(array, view, PyBUF_RECORDS_RO) < 0) {
        views.drop_last();
        return false;
    }
    if (view->ndim != 3) {
        PyErr_Format(PyExc_ValueError, "Buffer has wrong number of dimensions (expected 3, got %d)", view->ndim);
        return false;
    }
    const bool byte_format = view->format == nullptr || std::strcmp(view->format, "B") == 0 ||
                             std::strcmp(view->format, "=B") == 0 || std::strcmp(view->format, "<B") == 0;
    if (view->itemsize != 1 || !byte_format) {
        PyErr_Format(PyExc_ValueError, "Buffer dtype mismatch, expected 'const uint8_t' but got '%s'",
                     view->format ? view->format : "B");
        return false;
    }
    for (int axis = 0; axis < 2; ++axis) {
        if (view->shape[axis] == 0) {
            PyErr_Format(PyExc_IndexError, "Out of bounds on buffer access (axis %d)", axis);
            return false;
        }
    }
    if (view->shape[2] != 3 || !PyBuffer_IsContiguous(view, 'C')) {
        PyErr_Format(PyExc_ValueError,
                     "as_rgb888() must give a C-contiguous uint8 array of shape (H, W, 3), got shape "
                     "(%zd, %zd, %zd)", view->shape[0], view->shape[1], view->shape[2]);
        return false;
    }
    if (view->shape[0] > INT32_MAX || view->shape[1] > INT32_MAX) {
        PyErr_SetString(PyExc_OverflowError, "value too large to convert to int");
        return false;
    }
    record->type = KIV_LLM_IMAGE_TYPE_BUFFER;
    record->data = static_cast<const uint8_t*>(view->buf);
    record->width = static_cast<int32_t>(view->shape[1]);
    record->height = static_cast<int32_t>(view->shape[0]);
    record->reserved = 0;
    return true;
}

// The prompt of an image request without messages mode: every placeholder
// wrapped in the start and end markers, when both markers' start and
// placeholder are non-empty and the placeholder occurs.
Ref wrap_placeholders(PyObject* prompt, PyObject* img_start, PyObject* img_end, PyObject* img_content) {
    const int start_given = PyObject_IsTrue(img_start);
    if (start_given < 0) return {};
    const int content_given = start_given ? PyObject_IsTrue(img_content) : 0;
    if (content_given < 0) return {};
    if (!start_given || !content_given) return Ref::borrow(prompt);
    const int found = PySequence_Contains(prompt, img_content);
    if (found < 0) return {};
    if (!found) return Ref::borrow(prompt);
    Ref head = Ref::steal(PyNumber_Add(img_start, img_content));
    Ref wrapped = head ? Ref::steal(PyNumber_Add(head.get(), img_end)) : Ref();
    if (!wrapped) return {};
    return Ref::steal(PyObject_CallMethod(prompt, "replace", "OO", img_content, wrapped.get()));
}

// Converts an optional float override; false on error.
bool float_override(PyObject* value, float* out, bool* flag) {
    if (value == Py_None) return true;
    Ref as_float = Ref::steal(PyNumber_Float(value));
    if (!as_float) return false;
    *out = static_cast<float>(PyFloat_AS_DOUBLE(as_float.get()));
    *flag = true;
    return true;
}

// The text of one collector (a bytearray of the pieces in arrival order),
// decoded once, so a character split across pieces comes out whole. A
// collector that is not a bytearray (cleared by the garbage collector) holds
// nothing.
Ref decode_collected(PyObject* pieces) {
    if (!PyByteArray_CheckExact(pieces)) return Ref::steal(PyUnicode_FromStringAndSize(nullptr, 0));
    return Ref::steal(PyUnicode_DecodeUTF8(PyByteArray_AS_STRING(pieces), PyByteArray_GET_SIZE(pieces), "replace"));
}

// The token ids (packed int32 in a bytearray) as a new list of ints.
Ref collected_token_ids(PyObject* packed) {
    const Py_ssize_t n = PyByteArray_CheckExact(packed) ? PyByteArray_GET_SIZE(packed) / Py_ssize_t{sizeof(int32_t)} : 0;
    Ref ids = Ref::steal(PyList_New(n));
    if (!ids) return {};
    const char* data = n > 0 ? PyByteArray_AS_STRING(packed) : nullptr;
    for (Py_ssize_t i = 0; i < n; ++i) {
        int32_t id;
        std::memcpy(&id, data + i * Py_ssize_t{sizeof id}, sizeof id);
        PyObject* value = PyLong_FromLong(id);
        if (!value) return {};
        PyList_SET_ITEM(ids.get(), i, value);
    }
    return ids;
}

Ref decode_replace(PyObject* bytes) {
    return Ref::steal(PyUnicode_DecodeUTF8(PyBytes_AS_STRING(bytes), PyBytes_GET_SIZE(bytes), "replace"));
}

Ref decode_any_replace(PyObject* bytes_like) {
    if (PyBytes_Check(bytes_like)) return decode_replace(bytes_like);
    return Ref::steal(PyObject_CallMethod(bytes_like, "decode", "ss", "utf-8", "replace"));
}

Ref build_tool_calls(PyObject* collected) {
    Ref calls = Ref::steal(PyList_New(0));
    if (!calls || !PyList_CheckExact(collected)) return calls;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(collected); ++i) {
        Ref item = Ref::borrow(PyList_GET_ITEM(collected, i));
        Ref sequence = Ref::steal(PySequence_Tuple(item.get()));
        if (!sequence) return {};
        if (PyTuple_GET_SIZE(sequence.get()) != 2) {
            PyErr_Format(PyExc_ValueError, "expected 2 values to unpack, got %zd", PyTuple_GET_SIZE(sequence.get()));
            return {};
        }
        Ref name = decode_any_replace(PyTuple_GET_ITEM(sequence.get(), 0));
        Ref arguments = name ? decode_any_replace(PyTuple_GET_ITEM(sequence.get(), 1)) : Ref();
        if (!arguments) return {};
        Ref call = Ref::steal(PyDict_New());
        if (!call || PyDict_SetItem(call.get(), g_state.s_name, name.get()) < 0 ||
            PyDict_SetItem(call.get(), g_state.s_arguments, arguments.get()) < 0 ||
            PyList_Append(calls.get(), call.get()) < 0) {
            return {};
        }
    }
    return calls;
}

Ref build_result(VelkorObject* self) {
    if (self->interrupted == Py_True) {
        PyErr_SetNone(PyExc_KeyboardInterrupt);
        return {};
    }
    Ref tool_calls = build_tool_calls(self->tool_calls);
    if (!tool_calls) return {};
    Ref text_str = decode_collected(self->text_pieces);
    Ref reasoning_str = text_str ? decode_collected(self->reasoning_pieces) : Ref();
    Ref tool_text_str = reasoning_str ? decode_collected(self->tool_text_pieces) : Ref();
    if (!tool_text_str) return {};
    Ref token_ids = collected_token_ids(self->token_ids);
    if (!token_ids) return {};
    Ref status;
    if (self->last_status != Py_None) {
        status = Ref::borrow(self->last_status);
    } else {
        Ref run_status = global(g_state.s_RunStatus);
        if (!run_status) return {};
        status = Ref::steal(PyObject_GetAttr(run_status.get(), g_state.s_ERROR));
        if (!status) return {};
    }
    Ref count = Ref::steal(PyLong_FromSsize_t(PyList_GET_SIZE(token_ids.get())));
    if (!count) return {};
    PyObject* values[7] = {text_str.get(), reasoning_str.get(), tool_text_str.get(), token_ids.get(),
                           status.get(), count.get(), tool_calls.get()};
    Ref result = Ref::steal(PyDict_New());
    if (!result) return {};
    for (int i = 0; i < 7; ++i) {
        if (PyDict_SetItem(result.get(), g_state.result_keys[i], values[i]) < 0) return {};
    }
    return result;
}

// Fresh collectors for a run: bytearrays that the result bridge appends to (the
// pieces' bytes, one per kind of text, and the token ids as native int32) and a
// list for the tool calls.
}  // namespace

bool reset_collectors(VelkorObject* self, PyObject* userdata) {
    Ref text = Ref::steal(PyByteArray_FromStringAndSize(nullptr, 0));
    Ref reasoning = text ? Ref::steal(PyByteArray_FromStringAndSize(nullptr, 0)) : Ref();
    Ref tool_text = reasoning ? Ref::steal(PyByteArray_FromStringAndSize(nullptr, 0)) : Ref();
    Ref token_ids = tool_text ? Ref::steal(PyByteArray_FromStringAndSize(nullptr, 0)) : Ref();
    Ref tool_calls = token_ids ? Ref::steal(PyList_New(0)) : Ref();
    if (!tool_calls) return false;
    kiv::replace_field(self->userdata, Py_NewRef(userdata));
    kiv::replace_field(self->text_pieces, text.release());
    kiv::replace_field(self->reasoning_pieces, reasoning.release());
    kiv::replace_field(self->tool_text_pieces, tool_text.release());
    kiv::replace_field(self->token_ids, token_ids.release());
    kiv::replace_field(self->tool_calls, tool_calls.release());
    kiv::replace_field(self->last_status, Py_NewRef(Py_None));
    kiv::replace_field(self->interrupted, Py_NewRef(Py_False));
    return true;
}

namespace {

PyObject* velkor_run(PyObject* o, kiv::BoundArgs args) {
    VelkorObject* self = as_velkor(o);

    // Conversions made at binding: the integer flags and messages_mode, then the exact types.
    int32_t retain_history = 0, disable_chat_template = 0, enable_think = 0;
    if (!kiv::to_int32(args[arg::retain_history], &retain_history) ||
        !kiv::to_int32(args[arg::disable_chat_template], &disable_chat_template) ||
        !kiv::to_int32(args[arg::enable_think], &enable_think)) {
        return nullptr;
    }
    const int messages_mode = PyObject_IsTrue(args[arg::messages_mode]);
    if (messages_mode < 0) return nullptr;
    if (!is_exactly(args, arg::prompt_input, &PyUnicode_Type) || !is_exactly(args, arg::images, &PyList_Type) ||
        !is_exactly(args, arg::img_start, &PyUnicode_Type) || !is_exactly(args, arg::img_end, &PyUnicode_Type) ||
        !is_exactly(args, arg::img_content, &PyUnicode_Type)) {
        return nullptr;
    }

    // Busy from the start: while the request is prepared, Python code (a
    // __del__, as_rgb888, json.dumps) cannot release or replace the context,
    // and interrupt() is remembered for this run.
    kiv::BusyMark busy = busy_mark(self, kBusyRun);
    if (!busy.enter() || !require_context(self)) return nullptr;
    // A break remembered for an earlier run ended with it.
    self->break_pending = false;
    LLMContext ctx = self->ctx;

    KIV_LLMInput input;
    KIV_LLMRunParam param;
    std::memset(&input, 0, sizeof input);
    std::memset(&param, 0, sizeof param);

    PyObject* images = args[arg::images];
    const bool has_images = images != Py_None && PyList_GET_SIZE(images) > 0;
    Ref prompt_bytes, start_bytes, end_bytes, content_bytes;
    Ref keep_alive;
    ImageArray image_array;
    BufferViews views;

    if (!has_images) {
        prompt_bytes = kiv::utf8_or_empty(args[arg::prompt_input]);
        if (!prompt_bytes) return nullptr;
        input.type = messages_mode ? KIV_LLM_INPUT_MESSAGES : KIV_LLM_INPUT_PROMPT;
        input.prompt = kiv::text_or_null(prompt_bytes.get());
    } else {
        // The property, so that a subclass overriding it is honoured.
        Ref mmproj_model = Ref::steal(PyObject_GetAttrString(o, "mmproj_model"));
        const int has_mmproj = mmproj_model ? PyObject_IsTrue(mmproj_model.get()) : -1;
        if (has_mmproj < 0) return nullptr;
        if (!has_mmproj) {
            PyErr_SetString(PyExc_RuntimeError,
                            "Images provided but mmproj not initialized \u2014 pass mmproj_path to init()");
            return nullptr;
        }
        const Py_ssize_t n = PyList_GET_SIZE(images);
        if (n > INT32_MAX) {
            PyErr_SetString(PyExc_OverflowError, "value too large to convert to int");
            return nullptr;
        }
        keep_alive = Ref::steal(PyList_New(0));
        if (!keep_alive) return nullptr;
        image_array.reset(static_cast<KIV_LLMImageInput*>(std::calloc(static_cast<size_t>(n), sizeof(KIV_LLMImageInput))));
        if (!image_array) {
            PyErr_SetString(PyExc_MemoryError, "Failed to allocate KIV_LLMImageInput array");
            return nullptr;
        }
        start_bytes = kiv::utf8_or_empty(args[arg::img_start]);
        end_bytes = start_bytes ? kiv::utf8_or_empty(args[arg::img_end]) : Ref();
        content_bytes = end_bytes ? kiv::utf8_or_empty(args[arg::img_content]) : Ref();
        if (!content_bytes) return nullptr;
        if (messages_mode) {
            prompt_bytes = kiv::utf8_or_empty(args[arg::prompt_input]);
        } else {
            Ref prompt = wrap_placeholders(args[arg::prompt_input], args[arg::img_start], args[arg::img_end],
                                           args[arg::img_content]);
            if (!prompt) return nullptr;
            prompt_bytes = kiv::utf8_or_empty(prompt.get());
        }
        if (!prompt_bytes) return nullptr;
        views.reserve(static_cast<size_t>(n));
        for (Py_ssize_t i = 0; i < n; ++i) {
            Ref normalise = global(g_state.s_as_rgb888);
            if (!normalise) return nullptr;
            Ref image = Ref::steal(PySequence_GetItem(images, i));
            if (!image) return nullptr;
            Ref array = Ref::steal(PyObject_CallOneArg(normalise.get(), image.get()));
            if (!array || PyList_Append(keep_alive.get(), array.get()) < 0) return nullptr;
            if (!describe_image(array.get(), views, &image_array[i])) return nullptr;
        }
        input.type = KIV_LLM_INPUT_MESSAGES;
        input.prompt = kiv::text_or_null(prompt_bytes.get());
        input.images = image_array.get();
        input.n_images = static_cast<int32_t>(n);
        input.img_start = kiv::text_or_null(start_bytes.get());
        input.img_end = kiv::text_or_null(end_bytes.get());
        input.img_content = kiv::text_or_null(content_bytes.get());
    }

    // The run parameter record.
    Ref run_mode_value = Ref::steal(PyObject_GetAttr(args[arg::run_mode], g_state.s_value));
    if (!run_mode_value || !kiv::to_uint32(run_mode_value.get(), &param.run_mode, "KIV_LLMRunMode")) return nullptr;
    param.retain_history = retain_history;
    param.enable_think = enable_think;
    param.run_extend.disable_chat_template = disable_chat_template;

    Ref tools_json, template_json, sampler_json;
    PyObject* tool_schemas = args[arg::tool_schemas];
    if (tool_schemas != Py_None) {
        const Py_ssize_t count = PyObject_Size(tool_schemas);
        if (count < 0) return nullptr;
        if (count > 0) {
            tools_json = json_text(tool_schemas);
            if (!tools_json) return nullptr;
            param.run_extend.tools_schemas = PyBytes_AS_STRING(tools_json.get());
        }
    }
    if (args[arg::extra_template_params] != Py_None) {
        template_json = json_text(args[arg::extra_template_params]);
        if (!template_json) return nullptr;
        param.run_extend.extra_template_params = PyBytes_AS_STRING(template_json.get());
    }
    bool overridden = false;
    if (args[arg::sampler_params] != Py_None) {
        sampler_json = json_text(args[arg::sampler_params]);
        if (!sampler_json) return nullptr;
        param.run_extend.sampler_params_json = PyBytes_AS_STRING(sampler_json.get());
    }
    if (args[arg::sampling_mode] != Py_None) {
        if (!normalize_sampling_mode(args[arg::sampling_mode], &param.sampling_mode)) return nullptr;
        overridden = true;
    }
    if (args[arg::top_k] != Py_None) {
        PyObject* value = args[arg::top_k];
        Ref top_k = PyLong_CheckExact(value) ? Ref::borrow(value) : Ref::steal(PyNumber_Long(value));
        if (!top_k || !kiv::to_int32(top_k.get(), &param.top_k)) return nullptr;
        overridden = true;
    }
    if (!float_override(args[arg::top_p], &param.top_p, &overridden) ||
        !float_override(args[arg::temperature], &param.temperature, &overridden) ||
        !float_override(args[arg::repeat_penalty], &param.repeat_penalty, &overridden)) {
        return nullptr;
    }
    if (args[arg::sampler_params] != Py_None) overridden = true;
    param.sampling_config_valid = overridden ? 1 : 0;

    // The records are complete: reset the collectors and run. Dropping the
    // last run's userdata may run its __del__; as for all the Python code
    // above, the busy mark keeps it from releasing or replacing `ctx`.
    if (!reset_collectors(self, args[arg::userdata])) return nullptr;
    Ref keep_self = Ref::borrow(o);
    RunSlot* slot = register_run(self, ctx);
    if (slot == nullptr) return nullptr;
    {
        kiv::ReleaseGil unlocked;
        kiv_llm_run(ctx, &input, &param, self);
        unregister_run(slot);
    }
    busy.leave();
    image_array.reset();

    // A Ctrl+C that arrived during the run is handled now, so it counts for this run.
    if (PyErr_CheckSignals() < 0) return nullptr;
    return build_result(self).release();
}

}  // namespace

extern const kiv::FunctionSpec run_spec = kiv::function_spec(
    "run", "dict",
    "Run one generation (kiv_llm_run) with the interpreter lock released.\n\n"
    "prompt_input is a prompt, or with messages_mode=True an OpenAI-format messages JSON string.\n"
    "images is a list of arrays that as_rgb888() accepts (needs init(mmproj_path=...)); in a plain\n"
    "prompt each img_content placeholder is wrapped in img_start and img_end. tool_schemas (a list\n"
    "of OpenAI tool definitions), sampler_params and extra_template_params are sent as JSON.\n"
    "sampling_mode, top_k, top_p, temperature and repeat_penalty override sampling for this run.\n"
    "Every piece is streamed to on_token(Result, userdata, RunStatus) while the run goes on.\n\n"
    "Returns {'text', 'reasoning', 'tool_text', 'token_ids', 'status', 'token_count',\n"
    "'tool_calls'}; status is RunStatus.ERROR when the runtime delivered nothing. Raises\n"
    "KeyboardInterrupt after Ctrl+C; interrupt() from another thread ends the run normally.",
    velkor_run, run_parameters);

}  // namespace velkor
