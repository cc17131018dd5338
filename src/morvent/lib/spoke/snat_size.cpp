// Single-IP SNAT and gateway size.
#include "spoke.hpp"

namespace morvent::spoke {

nb::object make_changeSpokeSize(const ModuleScope& scope) {
    return nb::cpp_function([](nb::args, nb::kwargs) -> nb::object {
        throw nb::builtin_exception(nb::exception_type::runtime_error, "changeSpokeSize: not built yet");
    }, nb::scope(scope.module()), nb::name("changeSpokeSize"));
}

nb::object make_enableSNAT(const ModuleScope& scope) {
    return nb::cpp_function([](nb::args, nb::kwargs) -> nb::object {
        throw nb::builtin_exception(nb::exception_type::runtime_error, "enableSNAT: not built yet");
    }, nb::scope(scope.module()), nb::name("enableSNAT"));
}

nb::object make_disable_snat(const ModuleScope& scope) {
    return nb::cpp_function([](nb::args, nb::kwargs) -> nb::object {
        throw nb::builtin_exception(nb::exception_type::runtime_error, "disable_snat: not built yet");
    }, nb::scope(scope.module()), nb::name("disable_snat"));
}

}  // namespace morvent::spoke
