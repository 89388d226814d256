// init(): the init record, the native call, the tool bridge registration and
// the vision metadata; and the sampling-mode normalisation init and run share.
#include "velkor_module.h"

#include <cstring>

namespace velkor {

namespace {

// init()'s parameters, X(name, default), in positional order: the source of
// the argument indexes below, the keyword names, __defaults__ and the
// signature in the docstring.
#define VELKOR_INIT_PARAMETERS(X)                                       \
    X(model_path, kiv::Default::required())                             \
    X(on_token, kiv::Default::none())                                   \
    X(on_tool_call, kiv::Default::none())                               \
    X(sampling_mode, kiv::Default::member("SamplingMode", "ARG_MAX"))   \
    X(sampler_params, kiv::Default::none())                             \
    X(mmproj_path, kiv::Default::text(""))                              \
    X(model_type_override, kiv::Default::text(""))                      \
    X(custom_jinja_template, kiv::Default::text(""))                    \
    X(mmproj_config, kiv::Default::text(""))

// The index of each bound argument: arg::model_path, ...
namespace arg {
enum : int { VELKOR_INIT_PARAMETERS(KIV_PARAMETER_INDEX) };
}  // namespace arg

constexpr kiv::Parameter init_parameters[] = {VELKOR_INIT_PARAMETERS(KIV_PARAMETER)};

// "Given": not None and not empty.
bool is_given(PyObject* str_or_none) {
    return str_or_none != Py_None && PyUnicode_GET_LENGTH(str_or_none) > 0;
}

// Encodes a given str as UTF-8 into `keep` and hands its text to `assign`;
// NULL when not given. Returns false on an encoding error. The record's
// pointer fields are packed (not 8-byte aligned), so the field is assigned as
// a member, never written through a `const char**` into the record.
template <typename Assign>
bool encode_if_given(PyObject* value, Ref& keep, Assign&& assign) {
    const char* text = nullptr;
    if (is_given(value)) {
        keep = Ref::steal(PyUnicode_AsUTF8String(value));
        if (!keep) return false;
        text = PyBytes_AS_STRING(keep.get());
    }
    assign(text);
    return true;
}

}  // namespace

Ref json_text(PyObject* value) {
    Ref json = global(g_state.s_json);
    Ref dumps = json ? Ref::steal(PyObject_GetAttrString(json.get(), "dumps")) : Ref();
    if (!dumps) return {};
    PyObject* args[] = {value, Py_False};
    Ref text = Ref::steal(PyObject_Vectorcall(dumps.get(), args, 1, g_state.dumps_kwnames));
    if (!text) return {};
    return Ref::steal(PyObject_CallMethod(text.get(), "encode", "s", "utf-8"));
}

namespace {

PyObject* new_float_list(const float values[3]) {
    return Py_BuildValue("[ddd]", static_cast<double>(values[0]), static_cast<double>(values[1]),
                         static_cast<double>(values[2]));
}

bool set_item(PyObject* dict, const char* key, PyObject* value) {
    Ref owned = Ref::steal(value);
    return owned && PyDict_SetItemString(dict, key, owned.get()) == 0;
}

}  // namespace

bool normalize_sampling_mode(PyObject* value, KIV_LLMSamplingMode* out) {
    Ref key = Ref::borrow(value);
    Ref sampling_mode = global(g_state.s_SamplingMode);
    if (!sampling_mode) return false;
    const int is_member = PyObject_IsInstance(key.get(), sampling_mode.get());
    if (is_member < 0) return false;
    if (is_member) {
        key = Ref::steal(PyObject_GetAttr(key.get(), g_state.s_value));
        if (!key) return false;
    }
    if (PyUnicode_Check(key.get())) {
        key = Ref::steal(PyObject_CallMethod(key.get(), "strip", nullptr));
        if (!key) return false;
        key = Ref::steal(PyObject_CallMethod(key.get(), "lower", nullptr));
        if (!key) return false;
    }
    Ref map = global(g_state.s_sampling_map);
    if (!map) return false;
    Ref found = Ref::steal(PyObject_GetItem(map.get(), key.get()));
    if (!found) {
        if (!PyErr_ExceptionMatches(PyExc_KeyError)) return false;
        PyObject* key_error = PyErr_GetRaisedException();
        PyErr_Format(PyExc_ValueError,
                     "Invalid sampling_mode: %R. Expected one of: 'arg_max', 'top_p', 'top_k', "
                     "'chain_sampler', or the corresponding SamplingMode/int value.",
                     key.get());
        PyObject* value_error = PyErr_GetRaisedException();
        PyException_SetContext(value_error, key_error);  // steals key_error
        PyErr_SetRaisedException(value_error);
        return false;
    }
    return kiv::to_uint32(found.get(), out, "KIV_LLMSamplingMode");
}

namespace {

bool populate_vision_metadata(VelkorObject* self, LLMContext ctx) {
    Ref metadata = Ref::steal(Py_BuildValue(
        "{s:s,s:i,s:i,s:[ddd],s:[ddd],s:i,s:i,s:i,s:i,s:i,s:i,s:i,s:i,s:i,s:i,s:i}",
        "projector_type", "", "patch_size", 14, "proj_scale_factor", 0,
        "image_mean", 0.5, 0.5, 0.5, "image_std", 0.5, 0.5, 0.5, "spatial_merge_size", 2,
        "image_size", 0, "n_wa_pattern", 0, "embed_dim", 0, "has_class_embed", 0, "nx", 0, "ny", 0,
        "has_metadata", 0, "image_fmt", 1, "model_width", 0, "model_height", 0));
    if (!metadata) return false;
    kiv::replace_field(self->vision_metadata, metadata.new_ref());
    PyObject* dict = metadata.get();

    // Zeroed, so a runtime that leaves a field unset gives zero rather than garbage.
    KIV_LLMVisionInfo info;
    std::memset(&info, 0, sizeof info);
    if (kiv_llm_get_vision_info(ctx, &info) != 0) return true;

    if (info.has_metadata != 0) {
        if (!set_item(dict, "has_metadata", PyLong_FromLong(1))) return false;
        const size_t length = strnlen(info.projector_type, sizeof info.projector_type);
        if (!set_item(dict, "projector_type", PyUnicode_DecodeUTF8(info.projector_type,
                                                                   static_cast<Py_ssize_t>(length), "strict")) ||
            !set_item(dict, "image_mean", new_float_list(info.image_mean)) ||
            !set_item(dict, "image_std", new_float_list(info.image_std))) {
            return false;
        }
        if (info.patch_size > 0 && !set_item(dict, "patch_size", PyLong_FromLong(info.patch_size))) return false;
        if (info.spatial_merge_size > 0 &&
            !set_item(dict, "spatial_merge_size", PyLong_FromLong(info.spatial_merge_size))) {
            return false;
        }
    }
    if (info.n_inputs > 0 && info.inputs != nullptr) {
        int32_t height = 0;
        int32_t width = 0;
        const auto* entry = static_cast<const unsigned char*>(info.inputs);
        std::memcpy(&height, entry + kVisionInputHeightOffset, sizeof height);
        std::memcpy(&width, entry + kVisionInputWidthOffset, sizeof width);
        if (!set_item(dict, "model_width", PyLong_FromLong(width)) ||
            !set_item(dict, "model_height", PyLong_FromLong(height))) {
            return false;
        }
    }
    return true;
}

PyObject* velkor_init(PyObject* o, kiv::BoundArgs args) {
    VelkorObject* self = as_velkor(o);
    PyObject* model_path = args[arg::model_path];
    PyObject* on_token = args[arg::on_token];
    PyObject* on_tool_call = args[arg::on_tool_call];
    PyObject* sampling_mode = args[arg::sampling_mode];
    PyObject* sampler_params = args[arg::sampler_params];
    PyObject* mmproj_path = args[arg::mmproj_path];
    PyObject* model_type_override = args[arg::model_type_override];
    PyObject* custom_jinja_template = args[arg::custom_jinja_template];
    PyObject* mmproj_config = args[arg::mmproj_config];
    for (int index : {arg::model_path, arg::mmproj_path, arg::model_type_override, arg::custom_jinja_template,
                      arg::mmproj_config}) {
        if (!kiv::check_exact_type(args[index], &PyUnicode_Type, init_parameters[index].name)) return nullptr;
    }
    // Busy from here on: Python code that the conversions or the release of the
    // earlier context run (a __del__, __eq__, json.dumps) cannot call into the
    // object, and another thread cannot initialise it at the same time.
    kiv::BusyMark busy = busy_mark(self, kBusyInit);
    if (!busy.enter()) return nullptr;

    KIV_LLMInitParam param;
    std::memset(&param, 0, sizeof param);
    Ref keep_model, keep_sampler, keep_mmproj, keep_override, keep_jinja, keep_config;

    if (!encode_if_given(model_path, keep_model, [&](const char* t) { param.model_path = t; })) return nullptr;
    if (!normalize_sampling_mode(sampling_mode, &param.sampling_mode)) return nullptr;
    if (sampler_params != Py_None) {
        keep_sampler = json_text(sampler_params);
        if (!keep_sampler) return nullptr;
        param.init_extend.sampler_params_json = PyBytes_AS_STRING(keep_sampler.get());
    }
    const bool has_mmproj = is_given(mmproj_path);
    if (!encode_if_given(mmproj_path, keep_mmproj, [&](const char* t) { param.mmproj_path = t; })) return nullptr;
    kiv::replace_field(self->mmproj_loaded, Py_NewRef(has_mmproj ? Py_True : Py_False));
    KIV_LLMInitExtend& extend = param.init_extend;
    if (!encode_if_given(model_type_override, keep_override, [&](const char* t) { extend.model_type_override = t; }) ||
        !encode_if_given(custom_jinja_template, keep_jinja, [&](const char* t) { extend.custom_jinja_template = t; }) ||
        !encode_if_given(mmproj_config, keep_config, [&](const char* t) { extend.mmproj_config = t; })) {
        return nullptr;
    }

    // A context from an earlier init is released first, as uninit() would, so
    // it is never leaked.
    if (self->ctx != nullptr) release_context(self);

    kiv::replace_field(self->on_token, Py_NewRef(on_token));
    kiv::replace_field(self->on_tool_call, Py_NewRef(on_tool_call));
    kiv::replace_field(self->userdata, Py_NewRef(Py_None));

    LLMContext handle = nullptr;
    KIV_LLMRetStatus rc;
    {
        kiv::ReleaseGil unlocked;
        rc = kiv_llm_init(&handle, &param, velkor_result_bridge);
    }
    self->ctx = handle;
    if (handle != nullptr) kiv_llm_set_toolcall_callback(handle, velkor_tool_bridge, 1);
    if (has_mmproj && handle != nullptr && !populate_vision_metadata(self, handle)) return nullptr;
    busy.leave();
    return ret_status(rc);
}

}  // namespace

extern const kiv::FunctionSpec init_spec = kiv::function_spec(
    "init", "RetStatus",
    "Create the runtime context (kiv_llm_init) for the model file at model_path.\n\n"
    "on_token(result, userdata, status) is called for every generated piece, on_tool_call(name,\n"
    "arguments_json, userdata) for every tool call the runtime parses; either may be None, the\n"
    "output is collected into run()'s result all the same. sampling_mode is a name ('top_p'), an\n"
    "int 0-3 or a SamplingMode; sampler_params a JSON-serialisable dict such as\n"
    "{'temperature': 0.7}. mmproj_path enables image input; model_type_override overrides the\n"
    "runtime's model detection; custom_jinja_template and mmproj_config are passed on as text.\n"
    "A context from an earlier init is released first. Returns the runtime's RetStatus.",
    velkor_init, init_parameters);

}  // namespace velkor
