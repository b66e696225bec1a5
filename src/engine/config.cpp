#include "config.hpp"

#include <array>
#include <cstdint>
#include <string>

#include "interface_text.hpp"
#include "module_state.hpp"
#include "python_text.hpp"

namespace zelmor_self_play {
namespace {

// Through the object's index conversion to 64 unsigned bits, which must then fit in 32; sets the
// Python error and returns false when it does not.
bool to_u32(PyObject* value, uint32_t& out) {
    PyRef index = PyRef::steal(PyNumber_Index(value));
    if (!index) return false;
    const unsigned long long wide = PyLong_AsUnsignedLongLong(index.get());
    if (wide == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
    if (wide > UINT32_MAX) {
        PyErr_SetString(PyExc_OverflowError, text::kIntegerOutOfRange);
        return false;
    }
    out = static_cast<uint32_t>(wide);
    return true;
}

bool to_f64(PyObject* value, double& out) {
    out = PyFloat_CheckExact(value) ? PyFloat_AS_DOUBLE(value) : PyFloat_AsDouble(value);
    return !(out == -1.0 && PyErr_Occurred());
}

bool to_f32(PyObject* value, float& out) {
    double wide;
    if (!to_f64(value, wide)) return false;
    out = static_cast<float>(wide);
    return true;
}

// One of two words: `first` sets `out` false, `second` true.
bool to_choice(PyObject* value, const char* field, const char* first, const char* second, const char* unknown,
               bool& out) {
    if (!PyUnicode_Check(value)) {
        PyErr_Format(PyExc_TypeError, text::kChoiceNotText, field, Py_TYPE(value)->tp_name);
        return false;
    }
    if (PyUnicode_CompareWithASCIIString(value, first) == 0) {
        out = false;
    } else if (PyUnicode_CompareWithASCIIString(value, second) == 0) {
        out = true;
    } else {
        PyErr_Format(PyExc_ValueError, unknown, value);
        return false;
    }
    return true;
}

bool to_root_search(PyObject* value, RootSearch& out) {
    bool gumbel = false;
    if (!to_choice(value, "root_search", "puct", "gumbel", text::kRootSearchUnknown, gumbel)) return false;
    out = gumbel ? RootSearch::gumbel : RootSearch::puct;
    return true;
}

bool to_count(PyObject* value, const char* too_few, uint32_t& out) {
    if (!to_u32(value, out)) return false;
    if (out == 0) {
        PyErr_SetString(PyExc_ValueError, too_few);
        return false;
    }
    return true;
}

// Checked before narrowing, so that neither a value just above 1 nor one too small for a float passes.
bool to_share(PyObject* value, float& out) {
    double wide;
    if (!to_f64(value, wide)) return false;
    out = static_cast<float>(wide);
    if (!(wide <= 1.0 && out > 0.0f)) {
        PyErr_Format(PyExc_ValueError, text::kFullSearchShareOutOfRange, value);
        return false;
    }
    return true;
}

PyRef field_error(const char* field) {
    PyRef cause = fetch_exception();
    const std::string message = std::string(text::kConfigFieldPrefix) + field;
    PyRef error = PyRef::checked(PyObject_CallFunction(PyExc_TypeError, "s", message.c_str()));
    PyException_SetCause(error.get(), cause.release());
    return error;
}

}  // namespace

std::variant<Config, PyRef> read_config(PyObject* settings, bool search_settings) {
    Config config;
    uint32_t* integers[] = {&config.dim, &config.rep, &config.sims_per_move, &config.sample_moves};
    float* floats[] = {&config.c_base, &config.c_init, &config.dirichlet_alpha, &config.exploration_fraction};
    const auto& names = module_state().config_fields;
    for (size_t i = 0; i < names.size(); ++i) {
        PyRef value = PyRef::steal(PyObject_GetAttr(settings, names[i]));
        if (!value) return fetch_exception();
        const bool converted = i < 4 ? to_u32(value.get(), *integers[i]) : to_f32(value.get(), *floats[i - 4]);
        if (!converted) return field_error(kConfigFields[i]);
    }
    const auto& optional = module_state().search_fields;
    for (size_t i = 0; search_settings && i < optional.size(); ++i) {
        PyRef value = PyRef::steal(PyObject_GetAttr(settings, optional[i]));
        if (!value) {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return fetch_exception();
            PyErr_Clear();
            continue;
        }
        bool converted = false;
        switch (i) {
            case 0: converted = to_root_search(value.get(), config.root_search); break;
            case 1: converted = to_count(value.get(), text::kGumbelActionsTooFew, config.gumbel.actions); break;
            case 2: converted = to_f32(value.get(), config.gumbel.c_visit); break;
            case 3: converted = to_f32(value.get(), config.gumbel.c_scale); break;
            case 4:
                converted = to_choice(value.get(), "first_play", "zero", "parent", text::kFirstPlayUnknown,
                                      config.first_play_parent);
                break;
            case 5: converted = to_share(value.get(), config.full_search_share); break;
            case 6: converted = to_count(value.get(), text::kFastSimsTooFew, config.fast_sims); break;
        }
        if (!converted) return field_error(kSearchFields[i]);
    }
    return config;
}

}  // namespace zelmor_self_play
