// Spoke gateway deletion.
#include "spoke.hpp"

namespace morvent::spoke {

nb::object make_deleteSpoke(const ModuleScope& scope) {
    return nb::cpp_function([](nb::args, nb::kwargs) -> nb::object {
        throw nb::builtin_exception(nb::exception_type::runtime_error, "deleteSpoke: not built yet");
    }, nb::scope(scope.module()), nb::name("deleteSpoke"));
}

nb::object make_deleteHsSpoke(const ModuleScope& scope) {
    return nb::cpp_function([](nb::args, nb::kwargs) -> nb::object {
        throw nb::builtin_exception(nb::exception_type::runtime_error, "deleteHsSpoke: not built yet");
    }, nb::scope(scope.module()), nb::name("deleteHsSpoke"));
}

nb::object make_deleteAllHsSpokes(const ModuleScope& scope) {
    return nb::cpp_function([](nb::args, nb::kwargs) -> nb::object {
        throw nb::builtin_exception(nb::exception_type::runtime_error, "deleteAllHsSpokes: not built yet");
    }, nb::scope(scope.module()), nb::name("deleteAllHsSpokes"));
}

}  // namespace morvent::spoke
