// Manager.execute: the guarded replacement sequence.
#include "brindlemark.hpp"

namespace morvent::brindlemark {

using namespace nb::literals;
using native::param;

nb::object make_execute(const ModuleScope&, nb::handle manager) {
    return nb::cpp_function(
        [](nb::handle, nb::handle) -> nb::object {
            throw nb::builtin_exception(nb::exception_type::runtime_error,
                                        "Manager.execute: not built yet");
        },
        nb::scope(manager), nb::name("execute"), param("cls"), param("config"));
}

}  // namespace morvent::brindlemark
