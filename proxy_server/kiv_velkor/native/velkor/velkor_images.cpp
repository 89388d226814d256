// as_rgb888(): brings an image into the packed RGB888 layout the runtime reads,
// copying only when the layout or the dtype requires it.
#include "velkor_module.h"

namespace velkor {

namespace {

Ref attr(PyObject* o, const char* name) { return Ref::steal(PyObject_GetAttrString(o, name)); }

Ref call_np(const char* function, PyObject* arg) {
    Ref np = global(g_state.s_np);
    Ref fn = np ? attr(np.get(), function) : Ref();
    return fn ? Ref::steal(PyObject_CallOneArg(fn.get(), arg)) : Ref();
}

bool raise_shape_error(const char* message, PyObject* array) {
    Ref shape = attr(array, "shape");
    if (!shape) return false;
    PyErr_Format(PyExc_ValueError, "%s%S", message, shape.get());
    return false;
}

// Length of one axis (negative indexes count from the end); -1 on error.
Py_ssize_t axis_length(PyObject* shape, Py_ssize_t axis) {
    Ref index = Ref::steal(PyLong_FromSsize_t(axis));
    Ref item = index ? Ref::steal(PyObject_GetItem(shape, index.get())) : Ref();
    return item ? PyLong_AsSsize_t(item.get()) : -1;
}

PyObject* as_rgb888_impl(PyObject*, kiv::BoundArgs args) {
    Ref img = call_np("asarray", args[0]);
    if (!img) return nullptr;
    Ref ndim_obj = attr(img.get(), "ndim");
    if (!ndim_obj) return nullptr;
    const long ndim = PyLong_AsLong(ndim_obj.get());
    if (ndim == -1 && PyErr_Occurred()) return nullptr;
    if (ndim != 3) {
        raise_shape_error("Image must be 3D (H,W,C) or (C,H,W), got shape ", img.get());
        return nullptr;
    }
    Ref shape = attr(img.get(), "shape");
    if (!shape) return nullptr;
    const Py_ssize_t first = axis_length(shape.get(), 0);
    const Py_ssize_t last = first < 0 ? -1 : axis_length(shape.get(), -1);
    if (last < 0 && PyErr_Occurred()) return nullptr;

    if (first == 3 && last != 3) {  // CHW
        Ref np = global(g_state.s_np);
        if (!np) return nullptr;
        img = Ref::steal(PyObject_CallMethod(np.get(), "transpose", "O(iii)", img.get(), 1, 2, 0));
        if (!img) return nullptr;
        shape = attr(img.get(), "shape");
        if (!shape) return nullptr;
    }
    Py_ssize_t channels = axis_length(shape.get(), -1);
    if (channels < 0 && PyErr_Occurred()) return nullptr;
    if (channels == 4) {  // drop alpha: img[:, :, 0:3]
        Ref index = Ref::steal(Py_BuildValue("(NNN)", PySlice_New(nullptr, nullptr, nullptr),
                                             PySlice_New(nullptr, nullptr, nullptr),
                                             PySlice_New(PyLong_FromLong(0), PyLong_FromLong(3), nullptr)));
        if (!index) return nullptr;
        img = Ref::steal(PyObject_GetItem(img.get(), index.get()));
        if (!img) return nullptr;
        shape = attr(img.get(), "shape");
        if (!shape) return nullptr;
        channels = axis_length(shape.get(), -1);
        if (channels < 0 && PyErr_Occurred()) return nullptr;
    }
    if (channels != 3) {
        raise_shape_error("Image must have 3 colour channels (RGB), got shape ", img.get());
        return nullptr;
    }

    Ref np = global(g_state.s_np);
    Ref uint8 = np ? attr(np.get(), "uint8") : Ref();
    Ref dtype = uint8 ? attr(img.get(), "dtype") : Ref();
    if (!dtype) return nullptr;
    const int is_uint8 = PyObject_RichCompareBool(dtype.get(), uint8.get(), Py_EQ);
    if (is_uint8 < 0) return nullptr;
    if (!is_uint8) {
        Ref kind = attr(dtype.get(), "kind");
        if (!kind) return nullptr;
        const int is_float = PyUnicode_Check(kind.get()) && PyUnicode_CompareWithASCIIString(kind.get(), "f") == 0;
        if (is_float) {
            Ref size = attr(img.get(), "size");
            if (!size) return nullptr;
            const int nonempty = PyObject_IsTrue(size.get());
            if (nonempty < 0) return nullptr;
            if (nonempty) {
                Ref maximum = Ref::steal(PyObject_CallMethod(img.get(), "max", nullptr));
                Ref as_float = maximum ? Ref::steal(PyNumber_Float(maximum.get())) : Ref();
                if (!as_float) return nullptr;
                if (PyFloat_AS_DOUBLE(as_float.get()) <= 1.000001) {
                    Ref scale = Ref::steal(PyFloat_FromDouble(255.0));
                    img = scale ? Ref::steal(PyNumber_Multiply(img.get(), scale.get())) : Ref();
                    if (!img) return nullptr;
                }
            }
        }
        np = global(g_state.s_np);
        if (!np) return nullptr;
        Ref clipped = Ref::steal(PyObject_CallMethod(np.get(), "clip", "Oii", img.get(), 0, 255));
        if (!clipped) return nullptr;
        uint8 = attr(np.get(), "uint8");
        img = uint8 ? Ref::steal(PyObject_CallMethod(clipped.get(), "astype", "O", uint8.get())) : Ref();
        if (!img) return nullptr;
    }
    np = global(g_state.s_np);
    Ref contiguous = np ? attr(np.get(), "ascontiguousarray") : Ref();
    uint8 = np ? attr(np.get(), "uint8") : Ref();
    if (!contiguous || !uint8) return nullptr;
    Ref kwnames = Ref::steal(Py_BuildValue("(s)", "dtype"));
    if (!kwnames) return nullptr;
    PyObject* call_args[] = {img.get(), uint8.get()};
    return PyObject_Vectorcall(contiguous.get(), call_args, 1, kwnames.get());
}

}  // namespace

constexpr kiv::Parameter as_rgb888_params[] = {{"image"}};

extern const kiv::FunctionSpec as_rgb888_spec = kiv::function_spec(
    "as_rgb888", "numpy.ndarray",
    "Return image as a C-contiguous uint8 array of shape (H, W, 3): packed RGB888, the layout the\n"
    "runtime reads. Accepts anything numpy.asarray accepts, in HWC or CHW layout, RGB or RGBA\n"
    "(HWC only). Floats with a maximum of at most 1.000001 are taken as 0..1 and scaled by 255;\n"
    "other dtypes are clipped to 0..255 and truncated. A row-major uint8 HWC array is returned\n"
    "as it is, without a copy. Raises ValueError for other shapes.",
    as_rgb888_impl, as_rgb888_params);

}  // namespace velkor
