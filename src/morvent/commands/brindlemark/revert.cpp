// Manager.revert and Manager.cleanup.
#include "brindlemark.hpp"

namespace morvent::brindlemark {

using namespace nb::literals;
using native::param;

nb::object make_revert(const ModuleScope&, nb::handle manager) {
    return nb::cpp_function(
        [](nb::handle, nb::handle) -> nb::object {
            throw nb::builtin_exception(nb::exception_type::runtime_error,
                                        "Manager.revert: not built yet");
        },
        nb::scope(manager), nb::name("revert"), param("cls"), param("config"));
}

nb::object make_cleanup(const ModuleScope&, nb::handle manager) {
    return nb::cpp_function(
        [](nb::handle, nb::handle) -> nb::object {
            throw nb::builtin_exception(nb::exception_type::runtime_error,
                                        "Manager.cleanup: not built yet");
        },
        nb::scope(manager), nb::name("cleanup"), param("cls"), param("config"));
}

}  // namespace morvent::brindlemark
