// HS and classic spoke deployment.
#include "spoke.hpp"

namespace morvent::spoke {

nb::object make_deployClassicSpoke(const ModuleScope& scope) {
    return nb::cpp_function([](nb::args, nb::kwargs) -> nb::object {
        throw nb::builtin_exception(nb::exception_type::runtime_error, "deployClassicSpoke: not built yet");
    }, nb::scope(scope.module()), nb::name("deployClassicSpoke"));
}

nb::object make_deployPrimaryHsSpoke(const ModuleScope& scope) {
    return nb::cpp_function([](nb::args, nb::kwargs) -> nb::object {
        throw nb::builtin_exception(nb::exception_type::runtime_error, "deployPrimaryHsSpoke: not built yet");
    }, nb::scope(scope.module()), nb::name("deployPrimaryHsSpoke"));
}

nb::object make_deployHaHsSpoke(const ModuleScope& scope) {
    return nb::cpp_function([](nb::args, nb::kwargs) -> nb::object {
        throw nb::builtin_exception(nb::exception_type::runtime_error, "deployHaHsSpoke: not built yet");
    }, nb::scope(scope.module()), nb::name("deployHaHsSpoke"));
}

nb::object make_deployHsSpoke(const ModuleScope& scope) {
    return nb::cpp_function([](nb::args, nb::kwargs) -> nb::object {
        throw nb::builtin_exception(nb::exception_type::runtime_error, "deployHsSpoke: not built yet");
    }, nb::scope(scope.module()), nb::name("deployHsSpoke"));
}

}  // namespace morvent::spoke
