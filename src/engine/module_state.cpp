#include "module_state.hpp"

#include <optional>

#include "interface_text.hpp"
#include "py_ref.hpp"

namespace zelmor_self_play {

const ModuleState& module_state() {
    // Checked under the lock rather than guarded by a static initialiser: making the class may run Python
    // code that lets another thread in, which would then wait on the guard while holding the lock.
    static std::optional<ModuleState> state;
    if (state) return *state;
    PyRef panic_class = PyRef::checked(
        PyErr_NewExceptionWithDoc(text::kPanicClassName, text::kPanicClassDoc, PyExc_BaseException, nullptr));
    PyRef put = PyRef::checked(PyUnicode_InternFromString("put"));
    PyRef recv = PyRef::checked(PyUnicode_InternFromString("recv"));
    std::array<PyRef, kConfigFields.size()> fields;
    for (size_t i = 0; i < fields.size(); ++i) fields[i] = PyRef::checked(PyUnicode_InternFromString(kConfigFields[i]));
    std::array<PyRef, kSearchFields.size()> search_fields;
    for (size_t i = 0; i < search_fields.size(); ++i)
        search_fields[i] = PyRef::checked(PyUnicode_InternFromString(kSearchFields[i]));
    if (state) return *state;  // made meanwhile by another thread; these copies are released
    ModuleState made{panic_class.release(), put.release(), recv.release(), {}, {}};
    for (size_t i = 0; i < fields.size(); ++i) made.config_fields[i] = fields[i].release();
    for (size_t i = 0; i < search_fields.size(); ++i) made.search_fields[i] = search_fields[i].release();
    state = made;
    return *state;
}

}  // namespace zelmor_self_play
